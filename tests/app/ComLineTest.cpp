// Tests of the command-line parser: rejoining split names, switches, the colour, media files,
// parameter files, the "$(DRV):" macro and the letter case of names on disk.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/ComLineEX.h"

namespace fs = std::filesystem;
using namespace tilvo;

namespace {

using Strings = std::vector<std::string>;

// <root>/Prog Dir/tilvo is the program; <root>/Pics holds pictures named in mixed case.
class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tilvo-cl-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        exeDir_ = root_ + "/Prog Dir/";
        exe_ = exeDir_ + "tilvo";
        fs::create_directories(exeDir_ + "Sub");
        fs::create_directories(root_ + "/Pics/Deep Folder");
        Touch(root_ + "/Pics/My Photo.JPG");
        Touch(root_ + "/Pics/a.png");
        Touch(root_ + "/Pics/Deep Folder/Inner.Png");
        Touch(exeDir_ + "b c.png");
        Touch(exeDir_ + "Sub/X.png");
        // The caller's current folder, where relative names are looked up.
        work_ = root_ + "/Work/";
        fs::create_directories(work_ + "Sub");
        Touch(work_ + "b c.png");
        Touch(work_ + "Sub/X.png");
        Touch(work_ + "x.png");
        Touch(work_ + "y.png");
        before_ = fs::current_path();
        fs::current_path(work_);
    }
    void TearDown() override {
        fs::current_path(before_);
        fs::remove_all(root_);
    }
    static void Touch(const std::string& path, const std::string& text = "") {
        std::ofstream(path, std::ios::binary) << text;
    }
    TComLineEX Parse(const Strings& args) { return TComLineEX(exe_, args); }
    std::string root_, exeDir_, exe_, work_;
    fs::path before_;
};

}  // namespace

TEST_F(CommandLine, ArgumentTable) {
    const std::string pics = root_ + "/Pics/";
    struct Case {
        const char* what;
        Strings args;
        Strings files;
        Strings media;
        bool hasColor;
        int32_t color;
    };
    const Case cases[] = {
        {"nothing", {}, {}, {}, false, 0},
        {"one relative name: in the current folder",
         {"photo.jpg"},
         {work_ + "photo.jpg"},
         {},
         false,
         0},
        {"never in the program's folder", {"Sub/X.png"}, {work_ + "Sub/X.png"}, {}, false, 0},
        {"one absolute name", {pics + "a.png"}, {pics + "a.png"}, {}, false, 0},
        {"name split at a space is joined",
         {pics + "My", "Photo.JPG"},
         {pics + "My Photo.JPG"},
         {},
         false,
         0},
        {"split name in other letter case gets the disk's",
         {root_ + "/pics/my", "photo.jpg"},
         {pics + "My Photo.JPG"},
         {},
         false,
         0},
        {"two relative words: joined first", {"b", "c.png"}, {work_ + "b c.png"}, {}, false, 0},
        {"then each word: the first that exists",
         {"gone", "y.png", "x.png"},
         {work_ + "y.png"},
         {},
         false,
         0},
        {"joined name when no word exists",
         {"no", "such.png"},
         {work_ + "no such.png"},
         {},
         false,
         0},
        {"a split path whose joined name is no file",
         {pics + "a.png", "x.png"},
         {pics + "a.png"},
         {},
         false,
         0},
        {"a path, then a relative word of its own",
         {pics + "nothing", "x.png"},
         {work_ + "x.png"},
         {},
         false,
         0},
        {"switches dropped, colour read",
         {"-x", "#00ff80", pics + "a.png"},
         {pics + "a.png"},
         {},
         true,
         0x00ff80},
        {"colour in capitals", {pics + "a.png", "#ABCDEF"}, {pics + "a.png"}, {}, true, 0xabcdef},
        {"colour of four digits ignored",
         {"#1234", pics + "a.png"},
         {pics + "a.png"},
         {},
         false,
         0},
        {"a single colour", {"#102030"}, {}, {}, true, 0x102030},
        {"media files apart",
         {"/music/Song.MP3", pics + "a.png", "/x/t.ogg"},
         {pics + "a.png"},
         {"/music/Song.MP3", "/x/t.ogg"},
         false,
         0},
        {"drive macro", {"$(DRV):" + pics + "a.png"}, {pics + "a.png"}, {}, false, 0},
        {"drive macro among others",
         {"-v", "$(DRV):" + pics + "My", "Photo.JPG"},
         {pics + "My Photo.JPG"},
         {},
         false,
         0},
        {"paths then a switch then words",
         {pics + "a.png", pics + "My", "Photo.JPG", "-q", "b", "c.png"},
         {pics + "a.png", pics + "My Photo.JPG", work_ + "b c.png"},
         {},
         false,
         0},
        {"words before a path",
         {"Sub/X.png", pics + "a.png"},
         {work_ + "Sub/X.png", pics + "a.png"},
         {},
         false,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TComLineEX cl = Parse(c.args);
        EXPECT_EQ(cl.Files, c.files);
        EXPECT_EQ(cl.MediaFiles, c.media);
        EXPECT_EQ(cl.HasColor, c.hasColor);
        EXPECT_EQ(cl.Color, c.color);
        EXPECT_EQ(cl.ExeDir, exeDir_);
        EXPECT_EQ(cl.ExeDrive, "");
        EXPECT_FALSE(cl.HelpRequested);
    }
}

TEST_F(CommandLine, HelpVersionAndBadColour) {
    EXPECT_TRUE(Parse({"--help"}).HelpRequested);
    const TComLineEX both = Parse({"--version", root_ + "/Pics/a.png"});
    EXPECT_TRUE(both.VersionRequested);
    EXPECT_FALSE(both.HelpRequested);
    EXPECT_EQ(both.Files, Strings{root_ + "/Pics/a.png"});
    EXPECT_THROW(Parse({"#12-456"}), EComLineError);
    EXPECT_THROW(Parse({"#12 456", "a"}), EComLineError);
    EXPECT_NE(ComLineUsage("tilvo").find("--help"), std::string::npos);
    // "//" anywhere marks the name as a network-style path.
    EXPECT_TRUE(Parse({"//server/share/a.png"}).IsUNC);
    EXPECT_FALSE(Parse({root_ + "/Pics/a.png"}).IsUNC);
}

TEST_F(CommandLine, ParameterFiles) {
    const std::string pics = root_ + "/Pics/";
    Touch(exeDir_ + "list.kvs",
          "\n"
          "# a comment\n"
          "  Sub/x.PNG  \r\n"
          "$(DRV):" +
              pics +
              "my photo.jpg\n"
              "-mode#FF0000\n"
              "-plain\n"
              "tune.ogg\n" +
              pics + "a.png\n");
    const Strings expectedFiles = {exeDir_, exeDir_ + "Sub/X.png", pics + "My Photo.JPG",
                                   pics + "a.png"};

    // A single relative ".kvs" argument not in the current folder is looked for in the
    // program's folder.
    const TComLineEX cl = Parse({"list.kvs"});
    EXPECT_EQ(cl.ListFile, exeDir_ + "list.kvs");
    EXPECT_EQ(cl.Files, expectedFiles);
    EXPECT_EQ(cl.MediaFiles, Strings{exeDir_ + "tune.ogg"});
    EXPECT_TRUE(cl.HasColor);
    EXPECT_EQ(cl.Color, 0xff0000);
    Strings params;
    for (const TParamInfo& p : cl.Params) params.push_back(p.Param);
    EXPECT_EQ(params, (Strings{exeDir_ + "list.kvs", "-mode", "-plain"}));

    // Named among other arguments, in another letter case; mode 1 reads only the file.
    const TComLineEX mixed = Parse({"-z", exeDir_ + "LIST.KVS"});
    EXPECT_EQ(mixed.ListFile, exeDir_ + "list.kvs");
    EXPECT_EQ(mixed.Files, expectedFiles);
    const TComLineEX direct(exe_, {"ignored.png"}, exeDir_ + "list.kvs", 1);
    EXPECT_EQ(direct.Files, expectedFiles);

    // A Shift-JIS parameter file.
    fs::create_directories(pics + "\xE5\x86\x99\xE7\x9C\x9F");  // "写真"
    Touch(pics + "\xE5\x86\x99\xE7\x9C\x9F/p.png");
    Touch(exeDir_ + "sjis.kvs", "$(DRV):" + pics + "\x8E\xCA\x90\x5E/p.png\n");
    EXPECT_EQ(Parse({"sjis.kvs"}).Files, Strings{pics + "\xE5\x86\x99\xE7\x9C\x9F/p.png"});

    // A named list that does not exist is ignored; an unreadable one given directly fails.
    EXPECT_TRUE(Parse({"none.kvs"}).Files.empty());
    EXPECT_THROW(TComLineEX(exe_, {}, exeDir_ + "none.kvs", 1), EComLineError);
}

TEST_F(CommandLine, DiskPathName) {
    const std::string pics = root_ + "/Pics/";
    Touch(pics + "Dup.txt");
    Touch(pics + "DUP.txt");
    std::string deep = root_;
    std::string deepLower = root_;
    for (int i = 0; i < 25; ++i) {
        deep += "/Level" + std::to_string(i);
        deepLower += "/level" + std::to_string(i);
    }
    fs::create_directories(deep);
    Touch(deep + "/End.TXT");

    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"no-slash.JPG", "no-slash.JPG"},
        {pics + "a.png", pics + "a.png"},
        {root_ + "/PICS/my photo.jpg", pics + "My Photo.JPG"},
        {root_ + "/pics/deep folder/inner.png", pics + "Deep Folder/Inner.Png"},
        {root_ + "/pics/deep folder/", pics + "Deep Folder/"},
        {root_ + "/pics/missing.png", root_ + "/pics/missing.png"},
        {root_ + "/nothere/a.png", root_ + "/nothere/a.png"},
        // Two entries match ignoring case: neither is chosen.
        {pics + "dup.txt", pics + "dup.txt"},
        {pics + "DUP.txt", pics + "DUP.txt"},
        {deepLower + "/end.txt", deep + "/End.TXT"},
    };
    for (const Case& c : cases) EXPECT_EQ(TComLineEX::DiskPathName(c.in), c.out) << c.in;

    // A relative name resolves against the current folder and stays relative.
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    EXPECT_EQ(TComLineEX::DiskPathName("pics/deep folder/INNER.png"), "Pics/Deep Folder/Inner.Png");
    EXPECT_EQ(TComLineEX::DiskPathName("./PICS/a.png"), "./Pics/a.png");
    fs::current_path(before);
}

TEST(ComLineHex, HexToInt) {
    struct Case {
        const char* text;
        int32_t value;
    };
    const Case cases[] = {
        {"ff", 255}, {"00FF80", 0xff80}, {"", 0}, {"123456", 0x123456}, {"aBcDeF", 0xabcdef}};
    for (const Case& c : cases) EXPECT_EQ(TComLineEX::HexToInt(c.text), c.value) << c.text;
    EXPECT_THROW(TComLineEX::HexToInt("1-"), EComLineError);
    EXPECT_THROW(TComLineEX::HexToInt("12 4"), EComLineError);
}
