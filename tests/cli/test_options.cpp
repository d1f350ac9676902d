#include <gtest/gtest.h>

#include "cli/options.h"
#include "volphotorev/photoitems.h"

namespace {

int Parse(std::vector<const char*> args, CliOptions& opts, std::string& error) {
    args.insert(args.begin(), "lumivista-cli");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), opts, error);
}

TEST(CommandLine, ReadsEveryOptionOfRecover) {
    CliOptions o;
    std::string e;
    ASSERT_EQ(Parse({"recover", "--image", "a.img", "--image=b.img", "--drive", "3", "--out", "/tmp/x", "--type",
                     "png,GIF", "--json", "--flash-only", "--keep-folders"},
                    o, e),
              0)
        << e;
    EXPECT_EQ(o.command, CliCommand::Recover);
    EXPECT_EQ(o.images, (std::vector<std::string>{"a.img", "b.img"}));
    EXPECT_EQ(o.drive, 3);
    EXPECT_EQ(o.out, "/tmp/x");
    EXPECT_EQ(o.types, (1u << Png) | (1u << Gif));
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.flashOnly);
    EXPECT_TRUE(o.keepFolders);
    // Without --type every kind is recovered; folders are not kept unless asked.
    ASSERT_EQ(Parse({"recover", "--drive=1", "--out=d"}, o, e), 0);
    EXPECT_EQ(o.types, (1u << kPhotoCategoryCount) - 1);
    EXPECT_FALSE(o.keepFolders);
}

TEST(CommandLine, ScanTakesTypesAndAMinimumSize) {
    CliOptions o;
    std::string e;
    ASSERT_EQ(Parse({"scan", "--drive", "1", "--type", "jpg,raw,HEIC", "--type=webp", "--min-size", "16k"}, o, e), 0)
        << e;
    EXPECT_EQ(o.types, (1u << Jpg) | (1u << Raw) | (1u << Heic) | (1u << WebP));
    EXPECT_EQ(o.minSize, 16u * 1024);
    const std::pair<const char*, uint64_t> sizes[] = {{"0", 0},         {"4096", 4096},  {"2m", 2u << 20},
                                                      {"1G", 1u << 30}, {"16kb", 16384}, {"300b", 300}};
    for (auto [text, bytes] : sizes) {
        uint64_t v = 1;
        EXPECT_TRUE(ParseSize(text, v)) << text;
        EXPECT_EQ(v, bytes) << text;
    }
    // Every word the help and the errors offer is taken.
    std::string words = TypeWords();
    EXPECT_EQ(words, "jpg,png,bmp,gif,raw,heic,tiff,webp,other");
    for (size_t at = 0; at < words.size();) {
        size_t comma = std::min(words.find(',', at), words.size());
        EXPECT_NE(TypeBit(words.substr(at, comma - at)), 0u);
        at = comma + 1;
    }
}

TEST(CommandLine, UsageErrorsSayWhy) {
    CliOptions o;
    std::string e;
    const std::vector<std::vector<const char*>> bad = {
        {},                                             // no command
        {"frobnicate"},                                 // unknown command
        {"drives", "--drive", "1"},                     // --drive is not for drives
        {"drives", "--bogus"},                          //
        {"drives", "stray"},                            //
        {"scan"},                                       // --drive missing
        {"scan", "--drive", "0"},                       // rows count from 1
        {"scan", "--drive", "x1"},                      //
        {"scan", "--drive", "99999999999"},             //
        {"scan", "--drive"},                            // value missing
        {"recover", "--drive", "1"},                    // --out missing
        {"recover", "--drive", "1", "--out", "d", "--type", "psd"},
        {"scan", "--drive", "1", "--min-size", "16q"},
        {"scan", "--drive", "1", "--min-size", "k"},
        {"scan", "--drive", "1", "--min-size", "99999999999999999999"},
        {"drives", "--type", "jpg"},                    // drives finds no photos
        {"recover", "--drive", "1", "--out", "d", "--type", "jpg,"},
        {"scan", "--drive", "1", "--json=yes"},         // a flag takes no value
        {"scan", "--drive", "1", "--keep-folders"},     // only recover writes folders
        {"drives", "--image="},                         //
    };
    for (const auto& args : bad) {
        e.clear();
        EXPECT_EQ(Parse(args, o, e), -1) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(e.empty());
        EXPECT_EQ(e.find('\n'), std::string::npos);
    }
}

TEST(CommandLine, HelpEverywhere) {
    CliOptions o;
    std::string e;
    ASSERT_EQ(Parse({"--help"}, o, e), 0);
    EXPECT_TRUE(o.help);
    EXPECT_EQ(o.command, CliCommand::None);
    ASSERT_EQ(Parse({"help", "scan"}, o, e), 0);
    EXPECT_EQ(o.command, CliCommand::Scan);
    // --help wins over missing required options.
    ASSERT_EQ(Parse({"recover", "--help"}, o, e), 0);
    EXPECT_TRUE(o.help);
    for (CliCommand c : {CliCommand::None, CliCommand::Drives, CliCommand::Scan, CliCommand::Recover})
        EXPECT_EQ(HelpText(c).rfind("Usage: lumivista-cli", 0), 0u);
    EXPECT_NE(HelpText(CliCommand::Recover).find("--type"), std::string::npos);
}

}  // namespace

namespace {

TEST(CommandLine, SessionsAndTheirCommands) {
    CliOptions o;
    std::string e;
    // A saved scan names its drive: --drive may be left out.
    ASSERT_EQ(Parse({"scan", "--session", "a.lumivista-session"}, o, e), 0) << e;
    EXPECT_EQ(o.session, "a.lumivista-session");
    EXPECT_EQ(o.drive, 0);
    ASSERT_EQ(Parse({"recover", "--session=s", "--out", "d"}, o, e), 0) << e;
    EXPECT_EQ(o.session, "s");
    ASSERT_EQ(Parse({"sessions", "list"}, o, e), 0) << e;
    EXPECT_EQ(o.command, CliCommand::Sessions);
    EXPECT_TRUE(o.paths.empty());
    ASSERT_EQ(Parse({"sessions", "list", "a", "--json", "dir/"}, o, e), 0) << e;
    EXPECT_EQ(o.paths, (std::vector<std::string>{"a", "dir/"}));
    EXPECT_TRUE(o.json);
    const std::pair<std::vector<const char*>, const char*> bad[] = {
        {{"sessions"}, "sessions needs a verb"},
        {{"sessions", "show"}, "sessions needs a verb"},
        {{"scan", "--session"}, "--session needs a value"},
        {{"scan", "--session="}, "--session needs a file"},
        {{"image", "--drive", "1", "--out", "x", "--session", "s"}, "unknown option '--session'"},
        {{"recover", "--session", "s"}, "recover needs --out DIR"},
        {{"sessions", "list", "--drive", "1"}, "unknown option '--drive'"},
    };
    for (const auto& [args, says] : bad) {
        EXPECT_EQ(Parse(args, o, e), -1) << says;
        EXPECT_NE(e.find(says), std::string::npos) << e;
    }
    EXPECT_NE(HelpText(CliCommand::Sessions).find("sessions list"), std::string::npos);
    EXPECT_NE(HelpText(CliCommand::Scan).find("--session FILE"), std::string::npos);
    EXPECT_NE(HelpText(CliCommand::None).find("sessions"), std::string::npos);
}

}  // namespace
