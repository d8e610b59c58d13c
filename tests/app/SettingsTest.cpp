// Tests of the settings file: defaults, round trip, malformed values, keeping what the program does
// not own, the location beside the executable or in the configuration folder, and safe writing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/Settings.h"
#include "lang/IniFile.h"

namespace fs = std::filesystem;
using namespace tilvo;

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tilvo-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "tilvo.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_;
    std::string file_;
};

// The language chosen and the recent files are kept; a language the window does not offer, empty
// entries and repeats are dropped; the list is newest first and ten long at most.
TEST_F(SettingsFile, LanguageAndRecentFilesRoundTrip) {
    Write("[General]\nLanguage=fr\n[RecentFiles]\nFile1=/a.jpg\nFile2=\nFile3=/b.png\nFile4=/a.jpg\n");
    TSettings s;
    s.Load(file_);
    EXPECT_EQ(s.Language, "");
    EXPECT_EQ(s.RecentFiles, (std::vector<std::string>{"/a.jpg", "/b.png"}));
    s.Language = "ja";
    for (int i = 0; i < 12; ++i) AddRecentFile(s.RecentFiles, "/f" + std::to_string(i));
    AddRecentFile(s.RecentFiles, "/f5");
    ASSERT_EQ(s.RecentFiles.size(), kMaxRecentFiles);
    EXPECT_EQ(s.RecentFiles.front(), "/f5");
    EXPECT_EQ(s.RecentFiles[1], "/f11");
    s.Save(file_);
    TSettings t;
    t.Load(file_);
    EXPECT_EQ(t.Language, "ja");
    EXPECT_EQ(t.RecentFiles, s.RecentFiles);
}

}  // namespace

TEST_F(SettingsFile, FirstStartGivesDefaults) {
    TSettings s;
    s.Load(file_);  // no file
    EXPECT_EQ(s, TSettings{});
    EXPECT_EQ(s.Top, 0);
    EXPECT_EQ(s.Left, 0);
    EXPECT_EQ(s.Width, 300);
    EXPECT_EQ(s.Height, 300);
    EXPECT_FALSE(s.CanOverWrite);
    // Cells of 16 and a brush of 50: the first run hides what it is painted over.
    EXPECT_EQ(s.MosaicSize, 16);
    EXPECT_EQ(s.BrushSize, 50);
    EXPECT_TRUE(s.SoftenEdge);
    EXPECT_EQ(s.SaveOptions.JPEGQuality, 80);
    EXPECT_TRUE(s.SaveOptions.ExifRemovePersonalData);  // personal data goes unless asked to stay
    EXPECT_FALSE(s.LegacySaveDialog.has_value());
    EXPECT_FALSE(s.SolidFill);
    EXPECT_FALSE(s.WindowSizeRead) << "the window takes its first-run size";
    EXPECT_FALSE(fs::exists(file_));  // reading creates nothing
}

// Files written before the larger sizes existed read the same; the larger sizes are values like
// the others, and a size no menu offers still leaves the current one.
TEST_F(SettingsFile, MosaicAndBrushSizesAreStoredAsValues) {
    const struct {
        const char* Text;
        int32_t Mosaic, Brush;
    } cases[] = {
        // A file that names the old first-run sizes keeps them.
        {"[Mosaic]\nMosaicSize=4\n[FilterBrush]\nBrushSize=20\n", 4, 20},
        {"[Mosaic]\nMosaicSize=2\n[FilterBrush]\nBrushSize=5\n", 2, 5},
        {"[Mosaic]\nMosaicSize=24\n[FilterBrush]\nBrushSize=80\n", 24, 80},
        {"[Mosaic]\nMosaicSize=64\n[FilterBrush]\nBrushSize=200\n", 64, 200},
        {"[Mosaic]\nMosaicSize=12\n[FilterBrush]\nBrushSize=300\n", 12, 300},
        {"[Mosaic]\nMosaicSize=8\n[FilterBrush]\nBrushSize=400\n", 8, 400},
        {"[Mosaic]\nMosaicSize=48\n[FilterBrush]\nBrushSize=600\n", 48, 600},
        // Unreadable or unoffered values give the first-run sizes.
        {"[Mosaic]\nMosaicSize=5\n[FilterBrush]\nBrushSize=4\n", 16, 50},  // the index of 16 / 50
        {"[Mosaic]\nMosaicSize=128\n[FilterBrush]\nBrushSize=100\n", 16, 50},
        {"[Mosaic]\nMosaicSize=x\n[FilterBrush]\nBrushSize=\n", 16, 50},
    };
    for (const auto& c : cases) {
        Write(c.Text);
        TSettings s;
        s.Load(file_);
        EXPECT_EQ(s.MosaicSize, c.Mosaic) << c.Text;
        EXPECT_EQ(s.BrushSize, c.Brush) << c.Text;
        s.Save(file_);
        const TIniFile ini(file_);
        EXPECT_EQ(ini.ReadInteger("Mosaic", "MosaicSize", 0), c.Mosaic);
        EXPECT_EQ(ini.ReadInteger("FilterBrush", "BrushSize", 0), c.Brush);
    }
}

TEST(FirstRunWindow, TakesTwoThirdsOfTheAreaCentred) {
    const struct {
        int32_t Left, Top, Width, Height;
        int32_t WantLeft, WantTop, WantWidth, WantHeight;
    } cases[] = {
        {0, 0, 1920, 1080, 320, 180, 1280, 720},
        {1920, 24, 1280, 1000, 2133, 191, 853, 666},  // a second screen under a panel
        {0, 0, 240, 180, 20, 15, 200, 150},           // never below the smallest window
        {0, 0, 150, 100, 0, 0, 150, 100},             // nor beyond a tiny screen
    };
    for (const auto& c : cases) {
        TSettings s;
        s.PlaceFirstRunWindow(c.Left, c.Top, c.Width, c.Height);
        EXPECT_EQ(s.Left, c.WantLeft) << c.Width;
        EXPECT_EQ(s.Top, c.WantTop) << c.Width;
        EXPECT_EQ(s.Width, c.WantWidth) << c.Width;
        EXPECT_EQ(s.Height, c.WantHeight) << c.Width;
    }
}

TEST_F(SettingsFile, RoundTripWritesEveryKey) {
    TSettings s;
    s.Top = -20;
    s.Left = 1900;
    s.Width = 640;
    s.Height = 481;
    s.CanOverWrite = true;
    s.MosaicSize = 12;
    s.BrushSize = 50;
    s.SoftenEdge = false;
    s.SolidFill = true;
    s.WindowSizeRead = true;  // a written file gives the window's size
    TSaveOptions& o = s.SaveOptions;
    o.JPEGQuality = 55;
    o.JPEGProgressive = o.JPEGGrayscale = o.ExifCopy = o.ExifThumbUpdate = true;
    o.JPEGSubsampling = 2;
    o.ExifRemovePersonalData = false;
    o.PNGInterlaced = o.PNGGrayscale = o.PNGReduceTo256Color = o.PNGTransparent = true;
    o.GIFTransparent = o.TGARLECompression = true;
    o.WebPQuality = 33;
    o.WebPLossless = true;
    o.JPEGKeepUntouched = true;
    s.Save(file_);

    TSettings back;
    back.Load(file_);
    EXPECT_EQ(back, s);

    // Integers in decimal, booleans as 1 and 0, each key in its section.
    const TIniFile ini(file_);
    const std::tuple<const char*, const char*, const char*> keys[] = {
        {"General", "Top", "-20"},
        {"General", "Left", "1900"},
        {"General", "Width", "640"},
        {"General", "Height", "481"},
        {"General", "CanOverWrite", "1"},
        {"Mosaic", "MosaicSize", "12"},
        {"FilterBrush", "BrushSize", "50"},
        {"FilterBrush", "SoftenEdge", "0"},
        {"Mosaic", "SolidFill", "1"},
        {"SaveOptions4JPEG", "Quality", "55"},
        {"SaveOptions4JPEG", "Progressive", "1"},
        {"SaveOptions4JPEG", "Grayscale", "1"},
        {"SaveOptions4JPEG", "Subsampling", "2"},
        {"SaveOptions4JPEG", "ExifCopy", "1"},
        {"SaveOptions4JPEG", "ExifThumbUpdate", "1"},
        {"SaveOptions4JPEG", "KeepUntouched", "1"},
        {"SaveOptions4JPEG", "ExifRemovePersonalData", "0"},
        {"SaveOptions4PNG", "Interlaced", "1"},
        {"SaveOptions4PNG", "Grayscale", "1"},
        {"SaveOptions4PNG", "ReduceTo256Color", "1"},
        {"SaveOptions4PNG", "Transparent", "1"},
        {"SaveOptions4GIF", "Transparent", "1"},
        {"SaveOptions4TGA", "RLECompression", "1"},
        {"SaveOptions4WebP", "Quality", "33"},
        {"SaveOptions4WebP", "Lossless", "1"},
    };
    for (const auto& [section, key, value] : keys)
        EXPECT_EQ(ini.ReadString(section, key, "<missing>"), value) << section << "." << key;
    EXPECT_FALSE(ini.ValueExists("General", "LegacySaveDialog"));

    // Saving the same settings again changes nothing in the file.
    const std::string first = Read();
    back.Save(file_);
    EXPECT_EQ(Read(), first);
}

TEST_F(SettingsFile, MalformedValuesGiveDefaults) {
    Write(
        "[general]\n"
        "top=abc\n"
        "LEFT=17\n"
        "Width=12.5\n"
        "Height=\n"
        "CanOverWrite=2\n"
        "[Mosaic]\n"
        "MosaicSize=6\n"
        "[FilterBrush]\n"
        "BrushSize=7\n"
        "SoftenEdge=no\n"
        "[SaveOptions4JPEG]\n"
        "Quality=-3\n"
        "Subsampling=99999999999\n"
        "Progressive=yes\n");
    TSettings s;
    s.MosaicSize = 8;  // as checked before reading: an unoffered size leaves it
    s.Load(file_);
    EXPECT_EQ(s.Top, 0);
    EXPECT_EQ(s.Left, 17);
    EXPECT_EQ(s.Width, 300);
    EXPECT_EQ(s.Height, 300);
    EXPECT_TRUE(s.CanOverWrite);  // any non-zero integer
    EXPECT_EQ(s.MosaicSize, 8);
    EXPECT_EQ(s.BrushSize, 50);
    EXPECT_TRUE(s.SoftenEdge);
    EXPECT_EQ(s.SaveOptions.JPEGQuality, 1);  // clamped as it is read
    EXPECT_EQ(s.SaveOptions.JPEGSubsampling, 0);
    EXPECT_FALSE(s.SaveOptions.JPEGProgressive);

    // An unoffered size held in memory is written as the menus' fall-back.
    TSettings odd;
    odd.MosaicSize = 6;
    odd.BrushSize = 7;
    odd.Save(file_);
    const TIniFile ini(file_);
    EXPECT_EQ(ini.ReadInteger("Mosaic", "MosaicSize", 0), 16);
    EXPECT_EQ(ini.ReadInteger("FilterBrush", "BrushSize", 0), 50);
}

TEST_F(SettingsFile, NumbersOutOfRangeAreClampedAsTheyAreRead) {
    const struct {
        const char* section;
        const char* key;
        const char* value;
        int32_t TSettings::*field;
        int32_t TSaveOptions::*option;
        int32_t expected;
    } cases[] = {
        {"General", "Top", "-99999", &TSettings::Top, nullptr, -32767},
        {"General", "Left", "2147483647", &TSettings::Left, nullptr, 32767},
        {"General", "Width", "0", &TSettings::Width, nullptr, kMinWindowWidth},
        {"General", "Width", "-20", &TSettings::Width, nullptr, kMinWindowWidth},
        {"General", "Height", "99999", &TSettings::Height, nullptr, 32767},
        {"General", "Height", "10", &TSettings::Height, nullptr, kMinWindowHeight},
        {"General", "Height", "480", &TSettings::Height, nullptr, 480},
        {"SaveOptions4JPEG", "Quality", "0", nullptr, &TSaveOptions::JPEGQuality, 1},
        {"SaveOptions4JPEG", "Quality", "101", nullptr, &TSaveOptions::JPEGQuality, 100},
        {"SaveOptions4JPEG", "Quality", "37", nullptr, &TSaveOptions::JPEGQuality, 37},
        {"SaveOptions4JPEG", "Subsampling", "3", nullptr, &TSaveOptions::JPEGSubsampling, 2},
        {"SaveOptions4JPEG", "Subsampling", "-1", nullptr, &TSaveOptions::JPEGSubsampling, 0},
        {"SaveOptions4JPEG", "Subsampling", "1", nullptr, &TSaveOptions::JPEGSubsampling, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Write(std::string("[") + c.section + "]\n" + c.key + "=" + c.value + "\n");
        TSettings s;
        s.Load(file_);
        EXPECT_EQ(c.field ? s.*c.field : s.SaveOptions.*c.option, c.expected);
        // What was read is what is written back.
        s.Save(file_);
        EXPECT_EQ(TIniFile(file_).ReadInteger(c.section, c.key, 12345), c.expected);
    }
}

TEST(WindowBounds, FitIntoTheScreensAvailableArea) {
    // Area: 1920 × 1040 at (0, 40), as below a top panel.
    const struct {
        int32_t left, top, width, height;
        int32_t fitLeft, fitTop, fitWidth, fitHeight;
    } cases[] = {
        {100, 200, 640, 480, 100, 200, 640, 480},       // inside: unchanged
        {-5000, -5000, 640, 480, 0, 40, 640, 480},      // off to the top left
        {30000, 30000, 640, 480, 1280, 600, 640, 480},  // off to the bottom right
        {1800, 1000, 640, 480, 1280, 600, 640, 480},    // partly outside
        {0, 0, 32767, 32767, 0, 40, 1920, 1040},        // larger than the screen
        {500, 300, 3000, 300, 0, 300, 1920, 300},       // wider only
        {-32767, 32767, 200, 150, 0, 930, 200, 150},    // extremes of what is read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.left << "," << c.top << " " << c.width << "x" << c.height);
        TSettings s;
        s.Left = c.left, s.Top = c.top, s.Width = c.width, s.Height = c.height;
        s.FitWindowToScreen(0, 40, 1920, 1040);
        EXPECT_EQ(s.Left, c.fitLeft);
        EXPECT_EQ(s.Top, c.fitTop);
        EXPECT_EQ(s.Width, c.fitWidth);
        EXPECT_EQ(s.Height, c.fitHeight);
    }
}

TEST_F(SettingsFile, UnrelatedContentIsKept) {
    Write(
        "; written by hand\n"
        "[General]\n"
        "Top=5\n"
        "WindowState=2\n"
        "LegacySaveDialog=1\n"
        "\n"
        "[Recent]\n"
        "File1=/home/u/a.jpg\n"
        "\n"
        "[SaveOptions4JPEG]\n"
        "Quality=70\n");
    TSettings s;
    s.Load(file_);
    ASSERT_TRUE(s.LegacySaveDialog.has_value());
    EXPECT_TRUE(*s.LegacySaveDialog);
    EXPECT_EQ(s.Top, 5);
    EXPECT_EQ(s.SaveOptions.JPEGQuality, 70);
    s.Top = 9;
    s.Save(file_);

    const std::string text = Read();
    EXPECT_EQ(text.rfind("; written by hand\n[General]\nTop=9\n", 0), 0u) << text;
    const TIniFile ini(file_);
    EXPECT_EQ(ini.ReadString("General", "WindowState", ""), "2");
    EXPECT_EQ(ini.ReadString("General", "LegacySaveDialog", ""), "1");
    EXPECT_EQ(ini.ReadString("Recent", "File1", ""), "/home/u/a.jpg");
    EXPECT_EQ(ini.ReadInteger("SaveOptions4JPEG", "Quality", 0), 70);
    EXPECT_EQ(ini.ReadInteger("General", "Width", 0), 300);
    // New keys join their section, not the end of the file.
    EXPECT_LT(text.find("Width=300"), text.find("[Recent]"));
    EXPECT_EQ(text.find("Top=5"), std::string::npos);
}

TEST_F(SettingsFile, LocationBesideTheProgramOrInConfigFolder) {
    const std::string config = (dir_ / "config" / "tilvo").string();
    fs::create_directories(dir_ / "bin.d");
    struct Case {
        std::string exe;
        std::string expected;
    };
    std::ofstream(dir_ / "blocker") << "a file, not a folder";
    const Case cases[] = {
        {(dir_ / "bin.d" / "tilvo").string(), (dir_ / "bin.d" / "tilvo.ini").string()},
        {(dir_ / "bin.d" / "tilvo.exe").string(), (dir_ / "bin.d" / "tilvo.ini").string()},
        // The folder does not exist, or is a file: nothing can be written there.
        {(dir_ / "missing" / "tilvo").string(), config + "/tilvo.ini"},
        {(dir_ / "blocker" / "tilvo").string(), config + "/tilvo.ini"},
    };
    for (const Case& c : cases) EXPECT_EQ(SettingsFilePath(c.exe, config), c.expected) << c.exe;
    EXPECT_EQ(SettingsFilePath((dir_ / "missing" / "tilvo").string(), config + "/"),
              config + "/tilvo.ini");

    // The configuration folder is made when the settings are first saved.
    const std::string fallback = SettingsFilePath((dir_ / "missing" / "tilvo").string(), config);
    TSettings s;
    s.BrushSize = 40;
    s.Save(fallback);
    TSettings back;
    back.Load(fallback);
    EXPECT_EQ(back.BrushSize, 40);
}

TEST_F(SettingsFile, FailedWriteNamesFileAndLeavesNoTrace) {
    // The target is a folder: the finished temporary file cannot replace it.
    fs::create_directories(dir_ / "tilvo.ini" / "inside");
    TSettings s;
    try {
        s.Save(file_);
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_NE(std::string(e.what()).find(file_), std::string::npos) << e.what();
    }
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);  // no temporary file left behind
    EXPECT_TRUE(fs::is_directory(dir_ / "tilvo.ini" / "inside"));

    // A parent that is a file.
    std::ofstream(dir_ / "plain") << "x";
    EXPECT_THROW(s.Save((dir_ / "plain" / "tilvo.ini").string()), EIniFileError);
}

TEST(IniFileWrite, RefusesWhatOneLineCannotHold) {
    TIniFile ini;
    EXPECT_THROW(ini.WriteString("S", "a=b", "v"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S]", "k", "v"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S", " k", "v"), EIniFileError);
    EXPECT_THROW(ini.WriteString("S", "", "v"), EIniFileError);
    EXPECT_EQ(ini.Text(), "");
    ini.WriteString("S", "k", "a = b");
    ini.WriteString("s", "K", "c");  // same entry, any letter case
    EXPECT_EQ(ini.Text(), "[S]\nK=c\n");
}
