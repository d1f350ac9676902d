#include "app/dlgimageprogress.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <system_error>

#include "app/drivetext.h"
#include "io/log.h"

// Passes the copy's progress to the dialog without ever waiting for it.
class CDlgImageProgress::Observer : public IImagingObserver {
public:
    explicit Observer(CDlgImageProgress* dialog) : m_dialog(dialog) {}
    int OnProgress(const ImagingProgress& p) override
    {
        CDlgImageProgress* dialog = m_dialog;
        QMetaObject::invokeMethod(dialog, [dialog, p] { dialog->Show(p); }, Qt::QueuedConnection);
        return dialog->m_stop.load() ? -1 : 0;
    }

private:
    CDlgImageProgress* m_dialog;
};

namespace {

QString RateText(double bytesPerSecond)
{
    if (bytesPerSecond >= 1e6) return QStringLiteral("%1 MB/s").arg(bytesPerSecond / 1e6, 0, 'f', 1);
    if (bytesPerSecond >= 1e3) return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(static_cast<qint64>(bytesPerSecond > 0 ? bytesPerSecond : 0));
}

int Permille(uint64_t part, uint64_t whole)
{
    return whole ? static_cast<int>(static_cast<double>(part) * 1000.0 / static_cast<double>(whole)) : 0;
}

}  // namespace

CDlgImageProgress::CDlgImageProgress(ImagingRequest request, QWidget* owner)
    : QDialog(owner), m_request(std::move(request))
{
    setWindowTitle(QStringLiteral("Lumivista"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_heading = new QLabel(QStringLiteral("Copying %1 into %2")
                               .arg(m_request.driveText, QString::fromStdString(m_request.image)),
                           this);
    m_heading->setWordWrap(true);
    layout->addWidget(m_heading);
    for (QLabel*& line : m_lines) {
        line = new QLabel(this);
        layout->addWidget(line);
    }
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    layout->addWidget(m_progress);
    m_stopButton = new QPushButton(QStringLiteral("Stop"), this);
    m_stopButton->setAutoDefault(false);
    layout->addWidget(m_stopButton, 0, Qt::AlignRight);
    connect(m_stopButton, &QPushButton::clicked, this, [this] {
        m_stop.store(true);
        m_stopButton->setEnabled(false);
        m_stopButton->setText(QStringLiteral("Stopping..."));
    });
    resize(460, sizeHint().height());
    m_shown.size = m_request.size;
    Show(m_shown);
}

CDlgImageProgress::~CDlgImageProgress()
{
    if (m_thread.joinable()) {
        m_stop.store(true);
        m_thread.join();
    }
}

QStringList CDlgImageProgress::ProgressLines(const ImagingProgress& p)
{
    const int percent = Permille(p.rescued, p.size) / 10;
    return {QStringLiteral("%1, pass %2").arg(QString::fromLatin1(ImagingPhaseName(p.phase))).arg(p.pass),
            QStringLiteral("Rescued: %1 of %2 (%3%)")
                .arg(FormatSizeText(static_cast<int64_t>(p.rescued)), FormatSizeText(static_cast<int64_t>(p.size)))
                .arg(percent),
            QStringLiteral("Bad areas: %1 (%2)").arg(p.badAreas).arg(FormatSizeText(static_cast<int64_t>(p.badBytes))),
            QStringLiteral("Read rate: %1").arg(RateText(p.rate)),
            QStringLiteral("Last good read: %1 s ago").arg(static_cast<qint64>(p.sinceGoodRead))};
}

QStringList CDlgImageProgress::Lines() const
{
    QStringList lines;
    for (QLabel* line : m_lines) lines << line->text();
    return lines;
}

void CDlgImageProgress::Show(const ImagingProgress& p)
{
    m_shown = p;
    const QStringList lines = ProgressLines(p);
    for (int i = 0; i < 5; ++i) m_lines[i]->setText(lines.value(i));
    m_progress->setValue(Permille(p.size - p.nonTried, p.size));
}

int CDlgImageProgress::exec()
{
    int err = 0;
    m_source = Platform().Open(m_request.source, true, &err);
    if (!m_source) {
        m_errorText = QStringLiteral("Cannot open %1: %2")
                          .arg(QString::fromStdString(m_request.source),
                               QString::fromStdString(Platform().ErrorText(err)));
        return m_result = IMAGING_OPEN_FAILED;
    }
    try {
        m_thread = std::thread([this] {
            Observer observer(this);
            CDiskImager imager(m_source.get(), m_request.offset, m_request.size, m_request.options);
            const int result = imager.Run(m_request.image, m_request.map, &observer);
            const QString error = QString::fromStdString(imager.ErrorText());
            const ImagingProgress last = imager.Progress();
            QMetaObject::invokeMethod(this, [this, result, error, last] { Finished(result, error, last); },
                                      Qt::QueuedConnection);
        });
    } catch (const std::system_error& e) {
        LOG_E("cannot start the imaging thread: %s\n", e.what());
        m_errorText = QStringLiteral("Cannot start the copy.");
        return m_result = IMAGING_FAILED;
    }
    QDialog::exec();
    return m_result;
}

void CDlgImageProgress::Finished(int result, const QString& error, const ImagingProgress& p)
{
    if (m_thread.joinable()) m_thread.join();  // it has nothing left to do
    m_result = result;
    m_errorText = error;
    Show(p);
    QDialog::done(QDialog::Accepted);
}

// Escape and the close box ask the copy to stop; the dialog ends when it has.
void CDlgImageProgress::reject()
{
    if (!m_thread.joinable()) {
        QDialog::reject();
        return;
    }
    m_stopButton->click();
}
