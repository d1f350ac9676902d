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
    EXPECT_EQ(o.types, 0x1Fu);
    EXPECT_FALSE(o.keepFolders);
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
        {"recover", "--drive", "1", "--out", "d", "--type", "tiff"},
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
