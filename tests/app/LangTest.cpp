// Tests of the INI reader and the language file: lookup rules, UTF-8 and Shift-JIS text, the text
// post-processing, the message and dialog texts, the built-in Japanese rule and the shipped file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lang/IniFile.h"
#include "lang/IniLangEx.h"

namespace fs = std::filesystem;
using namespace tilvo;

namespace {

// A fresh folder standing for the executable's folder, with the language state pointed at it.
class LanguageFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tilvo-lang-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        SetLanguageBaseDir(dir_.string());
        SetLanguageFolder("Lang/");
        SelectLanguage(kLanguageJapanese);
    }
    void TearDown() override {
        SetLanguageBaseDir("");
        LoadLanguageMessages();  // back to the defaults for the next test
        fs::remove_all(dir_);
    }
    // Writes Lang/Japanese.ini with exactly these bytes.
    void WriteLanguageFile(const std::string& bytes) {
        fs::create_directories(dir_ / "Lang");
        std::ofstream(dir_ / "Lang" / "Japanese.ini", std::ios::binary) << bytes;
    }
    fs::path dir_;
};

}  // namespace

TEST(IniFileRead, LookupRules) {
    TIniFile ini;
    ini.SetText(
        "Orphan=before any section\r\n"
        "[Misc]\r\n"
        "  Key1 =  first  \r\n"
        "; Key2=commented out\n"
        "no equals sign here\n"
        "Dup=old\n"
        "DUP=new\n"
        "Empty=\n"
        "Url=a=b\n"
        "[ Other ]\n"
        "Only=in other\n"
        "[misc]\n"
        "Later=in the later Misc\n");
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"Misc", "Later", "in the later Misc"},
        // Only the later of two equal sections is looked in.
        {"Misc", "Key1", "<def>"},
        {"MISC", "later", "in the later Misc"},
        {"other", "ONLY", "in other"},
        {"Misc", "Key2", "<def>"},
        {"Nowhere", "Key1", "<def>"},
        {"", "Orphan", "<def>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected)
            << c.section << "." << c.key;

    TIniFile one;
    one.SetText("[S]\n  Key1 =  first  \nDup=old\nDUP=new\nEmpty=\nUrl=a=b\nbare line\n");
    EXPECT_EQ(one.ReadString("s", "key1", "x"), "first");
    EXPECT_EQ(one.ReadString("S", "Dup", "x"), "new");
    EXPECT_EQ(one.ReadString("S", "Empty", "x"), "");
    EXPECT_TRUE(one.ValueExists("S", "Empty"));
    EXPECT_EQ(one.ReadString("S", "Url", "x"), "a=b");
    EXPECT_FALSE(one.ValueExists("S", "bare line"));
}

TEST(IniFileRead, IntegersAndBooleans) {
    TIniFile ini;
    ini.SetText(
        "[N]\nA=12\nB=-5\nC=+7\nD=abc\nE=12x\nF=\nG=99999999999\nH=0x10\nI=2147483647\n"
        "J=-2147483648\nK=1.5\nL=0\nM=yes\n");
    struct Case {
        const char* key;
        int32_t expected;
    };
    const Case ints[] = {{"A", 12},         {"B", -5},        {"C", 7},  {"D", -1},
                         {"E", -1},         {"F", -1},        {"G", -1}, {"H", -1},
                         {"I", 2147483647}, {"J", INT32_MIN}, {"K", -1}, {"Missing", -1}};
    for (const Case& c : ints) EXPECT_EQ(ini.ReadInteger("N", c.key, -1), c.expected) << c.key;

    EXPECT_TRUE(ini.ReadBool("N", "A", false));  // any non-zero integer
    EXPECT_TRUE(ini.ReadBool("N", "B", false));
    EXPECT_FALSE(ini.ReadBool("N", "L", true));
    EXPECT_TRUE(ini.ReadBool("N", "M", true));  // not an integer: the default
    EXPECT_FALSE(ini.ReadBool("N", "M", false));
    EXPECT_TRUE(ini.ReadBool("N", "Missing", true));
}

TEST(IniFileRead, TextEncodings) {
    // UTF-8, with and without a byte-order mark.
    EXPECT_EQ(DecodeIniText("[M]\nK=品質\n"), "[M]\nK=品質\n");
    EXPECT_EQ(DecodeIniText("\xEF\xBB\xBF[M]"), "[M]");
    // Shift-JIS as written by the Windows program.
    EXPECT_EQ(DecodeIniText("K=\x95\x69\x8E\xBF"), "K=品質");
    EXPECT_EQ(DecodeIniText("\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E"),
              "ＭＳ Ｐゴシック");
    // A byte valid in neither becomes U+FFFD and the rest is still read.
    EXPECT_EQ(DecodeIniText("a\x95\x69\xFF"
                            "b"),
              "a品\xEF\xBF\xBD"
              "b");
    // A cut-off double-byte character at the end.
    EXPECT_EQ(DecodeIniText("x\x83"), "x\xEF\xBF\xBD");

    EXPECT_TRUE(IsValidUtf8("plain ascii"));
    EXPECT_TRUE(IsValidUtf8("オプション"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(IsValidUtf8("\xE3\x82"));          // truncated
    EXPECT_FALSE(IsValidUtf8("\x83\x49\x83\x76"));  // Shift-JIS "オプ"
}

TEST(LanguageText, PostProcessing) {
    TIniFile ini;
    ini.SetText(
        "[Misc]\n"
        "Comment=OK //the button\n"
        "Lines=A*|*B*|*C\n"
        "Trailing=A*|*\n"
        "Leading=*|*X\n"
        "ManyLeading=*|**|**|*X\n"
        "Inner=A*|**|*B\n"
        "CommentFirst=A//x*|*B\n"
        "Empty=\n"
        "[Other]\n"
        "Lines=not Misc\n");
    struct Case {
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"Comment", "OK "},         {"Lines", "A\r\nB\r\nC"},
        {"Trailing", "A\r\n"},      {"Leading", "\r\nX"},
        {"ManyLeading", "\r\nX"},   {"Inner", "A\r\n\r\nB"},
        {"CommentFirst", "A"},      {"Empty", ""},
        {"Missing", "def1\r\ndef2"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadLanguageText(&ini, c.key, "def1*|*def2"), c.expected) << c.key;
    EXPECT_EQ(ReadLanguageText(nullptr, "Lines", "no //file"), "no ");
    EXPECT_EQ(LanguageSection("FormSaveOption_2"), "FormSaveOption");
    EXPECT_EQ(LanguageSection("Form1"), "Form1");
}

TEST_F(LanguageFolder, MissingFileGivesDefaults) {
    EXPECT_EQ(LanguageFilePath(), (dir_ / "Lang" / "Japanese.ini").string());
    EXPECT_FALSE(OpenLanguageFile().has_value());
    LoadLanguageMessages();
    const TLanguageMessages& m = LanguageMessages();
    EXPECT_EQ(m.MBTConvertErr, "Convert error");
    EXPECT_EQ(m.MBMConvertErr, "UNKOWN file format");
    EXPECT_EQ(m.MBTFileReplace, "Confirm File Replace");
    EXPECT_EQ(m.MBMFileReplace,
              "A file already exist, would you like to replace the existing file ?");
    EXPECT_EQ(LoadDialogTexts(false), EnglishDialogTexts());
    EXPECT_EQ(LoadDialogTexts(true), JapaneseDialogTexts());
    EXPECT_EQ(EnglishDialogTexts().GMNoOption, "Nothing");
    EXPECT_EQ(JapaneseDialogTexts().GMSubSampling420, "4:2:0（推奨）");

    // No language selected: no file at all, even if one is there.
    WriteLanguageFile("[Misc]\nMISC_MBT_CONVERTERR=x\n");
    SelectLanguage(1);
    EXPECT_EQ(LanguageFilePath(), "");
    EXPECT_FALSE(OpenLanguageFile().has_value());
}

TEST_F(LanguageFolder, MessagesFromShiftJisFile) {
    WriteLanguageFile(
        "[MISC]\r\n"
        "misc_mbt_converterr=\x95\xDB\x91\xB6 //title\r\n"
        "MISC_MBM_CONVERTERR=Line one*|*Line two\r\n"
        "MISC_MBT_FILEREPLACE=\r\n");
    LoadLanguageMessages();
    const TLanguageMessages& m = LanguageMessages();
    EXPECT_EQ(m.MBTConvertErr, "保存 ");
    EXPECT_EQ(m.MBMConvertErr, "Line one\r\nLine two");
    EXPECT_EQ(m.MBTFileReplace, "");  // present but empty
    EXPECT_EQ(m.MBMFileReplace,
              "A file already exist, would you like to replace the existing file ?");
    EXPECT_EQ(ReadLanguageText("MISC_MBT_CONVERTERR", ""), "保存 ");
}

TEST_F(LanguageFolder, BuiltInJapaneseRule) {
    struct Case {
        const char* file;  // nullptr: no language file
        bool systemIsJapanese;
        bool builtIn;
    };
    const Case cases[] = {
        {nullptr, false, false},
        {nullptr, true, true},
        {"[Misc]\nMISC_QUALITY=Q\n", true, true},
        {"[Misc]\nMISC_LANGINI_ENABLED=0\nMISC_QUALITY=Q\n", true, false},
        {"[Misc]\nMISC_LANGINI_ENABLED=\nMISC_QUALITY=Q\n", true, true},
        {"[Misc]\nMISC_LANGINI_ENABLED=//off\nMISC_QUALITY=Q\n", true, true},
        {"[Misc]\nMISC_LANGINI_ENABLED=1\nMISC_QUALITY=Q\n", false, false},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir_ / "Lang");
        if (c.file) WriteLanguageFile(c.file);
        const std::optional<TIniFile> file = OpenLanguageFile();
        ASSERT_EQ(file.has_value(), c.file != nullptr);
        EXPECT_EQ(UseBuiltInJapanese(file ? &*file : nullptr, c.systemIsJapanese), c.builtIn)
            << (c.file ? c.file : "no file") << " japanese=" << c.systemIsJapanese;

        const TDialogTexts texts = LoadDialogTexts(c.systemIsJapanese);
        if (c.builtIn) {
            EXPECT_EQ(texts, JapaneseDialogTexts());
        } else {
            EXPECT_EQ(texts.GMQuality, c.file ? "Q" : "Quality");
            EXPECT_EQ(texts.GMExifThumbUpdate, "Update exif thumbnail");
            EXPECT_EQ(texts.GMExifRemovePersonalData, "Remove location and personal data");
        }
    }
}

// Every key the program reads from the language file, with the value it must keep where a value
// is fixed by the program's logic (the page captions pick the page for a file type).
TEST(ShippedLanguageFile, HasEveryKey) {
    const std::string path = std::string(TILVO_SOURCE_DIR) + "/data/Lang/Japanese.ini";
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(IsValidUtf8(bytes));
    TIniFile ini(path);
    ASSERT_TRUE(ini.FileFound());

    const char* mainWindow[] = {
        "FMFile",       "FMOpen",        "FMSave",          "FMSaveAs",         "FMExit",
        "FMEdit",       "FMUndo",        "FMRedo",          "FMHistoryPalette", "FMCopyToClipboard",
        "FMPaste",      "FMMosaic",      "FMMosaicPixSize", "FMMosaicPix2",     "FMMosaicPix4",
        "FMMosaicPix8", "FMMosaicPix12", "FMMosaicPix16",   "FMBrushSize",      "FMBrush5",
        "FMBrush8",     "FMBrush10",     "FMBrush20",       "FMBrush30",        "FMBrush40",
        "FMBrush50",    "FMSoftenEdge",  "FMHelp"};
    for (const char* name : mainWindow) {
        const std::string key = std::string("Form1.") + name + ".Caption";
        EXPECT_FALSE(ini.ReadString("Form1", key, "").empty()) << key;
    }
    const char* options[] = {"LJPEGQuality",     "CBJPEGProgressive", "CBJPEGGrayscale",
                             "GBSubsampling",    "RBSubsampling420",  "RBSubsampling444",
                             "GBExif",           "CBExifCopy",        "CBExifThumbUpdate",
                             "CBPNGInterlaced",  "CBPNGGrayscale",    "CBPNGReduceTo256Color",
                             "CBPNGTransparent", "CBGIFTransparent",  "CBTGARLECompression",
                             "LDCRResourceName", "ButtonOK",          "ButtonCancel"};
    EXPECT_FALSE(ini.ReadString("FormSaveOption", "FormSaveOption.Caption", "").empty());
    EXPECT_FALSE(
        ini.ReadString("FormSaveOption", "FormSaveOption.CBExifRemovePersonalData.Caption", "")
            .empty());
    for (const char* name : options) {
        const std::string key = std::string("FormSaveOption.") + name + ".Caption";
        EXPECT_FALSE(ini.ReadString("FormSaveOption", key, "").empty()) << key;
    }
    const std::pair<const char*, const char*> pages[] = {{"TabSheet1", "JPEG"},
                                                         {"TabSheet2", "PNG"},
                                                         {"TabSheet3", "GIF"},
                                                         {"TabSheet4", "DCR"},
                                                         {"TabSheet5", "Targa"}};
    for (const auto& [page, caption] : pages)
        EXPECT_EQ(ini.ReadString("FormSaveOption",
                                 std::string("FormSaveOption.") + page + ".Caption", ""),
                  caption);

    const char* messages[] = {"MISC_MBT_CONVERTERR", "MISC_MBM_CONVERTERR", "MISC_MBT_FILEREPLACE",
                              "MISC_MBM_FILEREPLACE"};
    for (const char* key : messages) EXPECT_TRUE(ini.ValueExists("Misc", key)) << key;
    // The file's dialog texts are the built-in Japanese ones, so a Japanese system looks the same
    // with or without MISC_LANGINI_ENABLED.
    EXPECT_FALSE(ini.ValueExists("Misc", "MISC_LANGINI_ENABLED"));
    EXPECT_EQ(LoadDialogTexts(&ini, false), JapaneseDialogTexts());
}
