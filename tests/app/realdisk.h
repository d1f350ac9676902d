// A camera card made by tools/mkfatimage.sh from the real photos, scanned
// through the program's own disk manager and task manager, for the wizard's
// tests of scanning, browsing and recovering.
#pragma once

#include <QString>
#include <QtTest>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/backend.h"
#include "app/fakes/fakebackend.h"
#include "app/wizardevents.h"
#include "app/wizardstate.h"
#include "io/diskmgr.h"
#include "io/platform/platform.h"
#include "taskmgr/recoverfiles.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

// The card's live photos, by their names on the card (all distinct but the
// two IMG_0104.JPG in different folders), and the deleted one the raw scan
// brings back.
struct CameraCard {
    std::string image;                                  // empty when it cannot be made
    std::map<std::string, std::string> originals;       // name on the card -> source file
    std::string brokenJpeg = "BROKEN.JPG";               // a .JPG whose bytes are no picture
    std::string deletedSource;                           // the photo deleted from the card
};

// Made once per test program.
inline const CameraCard& Card()
{
    static testutil::TempDir dir;
    static CameraCard card = [] {
        CameraCard c;
        const std::string photos = testutil::PhotosDir();
        if (photos.empty() || !testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) return c;
        const std::string tree = dir / "card";
        const std::string script =
            "set -e; mkdir -p '" + tree + "/DCIM/100CANON' '" + tree + "/DCIM/101CANON' '" + tree + "/MISC'; cp '" +
            photos + "/IMG_0101.JPG' '" + photos + "/IMG_0103.JPG' '" + photos + "/IMG_0104.JPG' '" + tree +
            "/DCIM/100CANON/'; cp '" + photos + "/IMG_0104.JPG' '" + tree + "/DCIM/101CANON/IMG_0104.JPG'; cp '" +
            photos + "/IMG_0105.JPG' '" + tree + "/DCIM/101CANON/'; cp '" + photos + "/SCAN0003.PNG' '" + photos +
            "/ANIM0002.GIF' '" + photos + "/PAINT002.BMP' '" + tree + "/MISC/'; head -c 20000 /dev/urandom > '" +
            tree + "/MISC/BROKEN.JPG'";
        if (testutil::Run(script) != 0) return c;
        const std::string image = dir / "card.img";
        const std::string tools = testutil::ToolsDir();
        if (testutil::Run("'" + tools + "/mkfatimage.sh' -l CAMERA '" + image + "' 40 '" + tree + "/DCIM' '" + tree +
                          "/MISC' >/dev/null") != 0)
            return c;
        // One more photo, copied and deleted again: only the raw scan finds it.
        if (testutil::Run("export MTOOLS_SKIP_CHECK=1; mcopy -i '" + image + "@@1048576' '" + photos +
                          "/IMG_0102.JPG' ::/GONE.JPG && mdel -i '" + image + "@@1048576' ::/GONE.JPG") != 0)
            return c;
        c.originals = {{"IMG_0101.JPG", photos + "/IMG_0101.JPG"}, {"IMG_0103.JPG", photos + "/IMG_0103.JPG"},
                       {"IMG_0104.JPG", photos + "/IMG_0104.JPG"}, {"IMG_0105.JPG", photos + "/IMG_0105.JPG"},
                       {"SCAN0003.PNG", photos + "/SCAN0003.PNG"}, {"ANIM0002.GIF", photos + "/ANIM0002.GIF"},
                       {"PAINT002.BMP", photos + "/PAINT002.BMP"}, {"BROKEN.JPG", tree + "/MISC/BROKEN.JPG"}};
        c.deletedSource = photos + "/IMG_0102.JPG";
        c.image = image;
        return c;
    }();
    return card;
}

#define REQUIRE_CARD()                                                          \
    do {                                                                        \
        if (Card().image.empty()) QSKIP("the camera card image cannot be made"); \
    } while (0)

// The program's own disk and task managers with no disk of the machine, and
// a stand-in for the user's answers.
struct RealMachine {
    RealMachine()
    {
        // Scans the wizard saves go into a folder of the test's own.
        const char* data = std::getenv("XDG_DATA_HOME");
        if (data) m_oldDataHome = data;
        m_hadDataHome = data != nullptr;
        setenv("XDG_DATA_HOME", dataHome.path().c_str(), 1);
        SetDiskSources(false, {});
        CDiskMgr::Instance().ReleaseAllDisk();
        InstallSystemBackends(Services());
        Services().prompts = &prompts;
        g_pSelectedPartition = nullptr;
    }
    ~RealMachine()
    {
        GetTaskMgr()->Clear();
        g_pSelectedPartition = nullptr;
        Services() = AppServices();
        CDiskMgr::Instance().ReleaseAllDisk();
        SetDiskSources(true, {});
        if (m_hadDataHome) setenv("XDG_DATA_HOME", m_oldDataHome.c_str(), 1);
        else unsetenv("XDG_DATA_HOME");
    }
    RealMachine(const RealMachine&) = delete;
    RealMachine& operator=(const RealMachine&) = delete;

    // Opens the image and answers its first partition.
    IPartition* Open(const std::string& image)
    {
        const int index = Services().drives->AddImage(image);
        if (index < 0) return nullptr;
        CDisk* disk = CDiskMgr::Instance().GetDiskByIndex(index);
        return disk ? disk->FindPartition(1) : nullptr;
    }

    testutil::TempDir dataHome;  // XDG_DATA_HOME while the machine lives
    CFakePrompts prompts;

private:
    std::string m_oldDataHome;
    bool m_hadDataHome = false;
};

// Passes everything on to another backend, letting a test step in when a
// scan reports or a photo is read.
class CHookedTasks : public ITaskBackend {
public:
    explicit CHookedTasks(ITaskBackend* inner) : m_inner(inner) {}

    // Runs on the scan thread for every event, before the page's sink.
    std::function<void(uint32_t code)> onEvent;
    // Runs on the reading thread before each photo is read.
    std::function<void(PhotoItem* item)> onRead;

    int RecoverPhotos(IPartition* partition, IEventSink* sink) override
    {
        Sink hooked(this, sink);
        return m_inner->RecoverPhotos(partition, &hooked);
    }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override
    {
        return m_inner->GetPhotoItems(category, first, count, out);
    }
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override
    {
        if (onRead) onRead(item);
        return m_inner->ReadPhotoData(item, partition, buffer, size);
    }
    void Clear() override { m_inner->Clear(); }

private:
    class Sink : public IEventSink {
    public:
        Sink(CHookedTasks* owner, IEventSink* inner) : m_owner(owner), m_inner(inner) {}
        int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override
        {
            if (m_owner->onEvent) m_owner->onEvent(code);
            return m_inner->Notify(code, value, data, reserved);
        }

    private:
        CHookedTasks* m_owner;
        IEventSink* m_inner;
    };

    ITaskBackend* m_inner;
};

// Every photo the task manager holds, category by category.
inline std::vector<PhotoItem*> AllPhotos(ITaskBackend* tasks)
{
    std::vector<PhotoItem*> all;
    for (int category = 0; category < kPhotoCategoryCount; ++category) {
        const int n = tasks->GetPhotoItems(category, -1, -1, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(std::max(n, 0)));
        if (n > 0) items.resize(static_cast<size_t>(tasks->GetPhotoItems(category, 0, n, items.data())));
        all.insert(all.end(), items.begin(), items.end());
    }
    return all;
}

inline std::string NameOf(const PhotoItem* item)
{
    return Utf16ToUtf8(item->name);
}
