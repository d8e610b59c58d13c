// The codec modules are loaded on first use only: a process that opens and saves a JPEG maps none
// of libheif's or FFmpeg's libraries; the first HEIF/AVIF file (or video) maps them, also when
// several threads meet one at once; a program whose modules are missing still opens every other
// format and refuses a HEIF file with a message. Built as a program of its own, so that nothing
// else run in the same process can have loaded a module before.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "FileFormat/CodecModule.h"
#ifdef TILVO_HAVE_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif
#include "FileFormat/Graphic.h"
#include "FileFormat/SaveDispatch.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

const fs::path kData = TILVO_TEST_DATA;

// The file names of every object mapped into the process.
std::vector<std::string> LoadedObjects() {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name && *info->dlpi_name)
                static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    return names;
}

// The loaded objects whose file name holds one of the parts.
std::vector<std::string> Mapped(std::initializer_list<const char*> parts) {
    std::vector<std::string> found;
    for (const std::string& name : LoadedObjects()) {
        const std::string file = fs::path(name).filename().string();
        for (const char* part : parts)
            if (file.find(part) != std::string::npos) found.push_back(file);
    }
    return found;
}

const std::initializer_list<const char*> kHeifLibraries = {"tilvo_heif", "libheif",  "libde265",
                                                           "libx265",    "libdav1d", "libaom"};
const std::initializer_list<const char*> kVideoLibraries = {
    "tilvo_video_ffmpeg", "libavformat", "libavcodec", "libavutil", "libswscale", "libswresample"};

std::string Joined(const std::vector<std::string>& names) {
    std::string all;
    for (const std::string& n : names) all += n + " ";
    return all;
}

class CodecModules : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo_modules_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        InstallVideoDecoder(nullptr);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

// Declared first: run as a whole, the program gets here before anything has loaded a module.
TEST_F(CodecModules, AreMappedOnlyWhenAFileNeedsThem) {
    ASSERT_EQ(Joined(Mapped(kHeifLibraries)) + Joined(Mapped(kVideoLibraries)), "")
        << "the program itself maps a codec library";
#ifdef TILVO_HAVE_VIDEO_DECODER
    InstallVideoDecoder(std::make_shared<TFFmpegVideoDecoder>());
#endif

    // Open and save a JPEG the way the programs do.
    TBitmap picture;
    std::vector<uint8_t> jpegBytes;
    LoadPictureFile((kData / "read/jpeg/color420.jpg").string(), picture, &jpegBytes);
    ASSERT_FALSE(picture.Empty());
    const fs::path saved = dir_ / "saved.jpg";
    ASSERT_TRUE(SaveByExtension(picture, saved.string(), TSaveOptions{}));
    TBitmap reread;
    LoadPictureFile(saved.string(), reread);
    EXPECT_EQ(reread.Width(), picture.Width());
    EXPECT_EQ(Joined(Mapped(kHeifLibraries)), "");
    EXPECT_EQ(Joined(Mapped(kVideoLibraries)), "");

    // The first HEIF file loads the HEIF module, and only that one.
    TBitmap heif, expected;
    LoadPictureFile((kData / "read/heic/rotated.heic").string(), heif);
    LoadPictureFile((kData / "read/heic/rotated.png").string(), expected);
    ASSERT_EQ(heif.Width(), expected.Width());
    ASSERT_EQ(heif.Height(), expected.Height());
    EXPECT_NE(Joined(Mapped({"tilvo_heif"})), "");
    EXPECT_NE(Joined(Mapped({"libheif"})), "");
    EXPECT_EQ(Joined(Mapped(kVideoLibraries)), "");

#ifdef TILVO_HAVE_VIDEO_DECODER
    // A video loads FFmpeg's module, even when the file turns out to be broken.
    const fs::path avi = dir_ / "broken.avi";
    std::ofstream(avi, std::ios::binary) << "RIFF\x10\0\0\0AVI LIST";
    TBitmap video;
    EXPECT_THROW(LoadPictureFile(avi.string(), video), Exception);
    EXPECT_NE(Joined(Mapped({"tilvo_video_ffmpeg"})), "");
    EXPECT_NE(Joined(Mapped({"libavformat"})), "");
#endif
}

TEST_F(CodecModules, TheFirstHeifFilesOnSeveralThreadsAtOnceAllOpen) {
    const std::string file = (kData / "read/heic/photo_av1.avif").string();
    TBitmap expected;
    LoadPictureFile((kData / "read/heic/photo_av1.png").string(), expected);
    std::vector<TBitmap> pictures(4);
    std::vector<std::string> errors(pictures.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < pictures.size(); ++i)
        threads.emplace_back([&, i] {
            try {
                LoadPictureFile(file, pictures[i]);
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(errors[i], "");
        ASSERT_EQ(pictures[i].Width(), expected.Width());
        ASSERT_EQ(pictures[i].Height(), expected.Height());
        for (int32_t y = 0; y < expected.Height(); ++y)
            ASSERT_EQ(0, std::memcmp(pictures[i].ScanLine(y), pictures[0].ScanLine(y),
                                     size_t(expected.Width()) * 3));
    }
}

TEST_F(CodecModules, AMissingModuleOrSymbolIsReportedNotFatal) {
    std::string error;
    EXPECT_EQ(CodecModuleSymbol("tilvo_no_such_codec", "factory", error), nullptr);
    EXPECT_NE(error.find("tilvo_no_such_codec.so is not installed"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(CodecModuleSymbol("tilvo_heif", "no_such_factory", error), nullptr);
    EXPECT_NE(error.find("has no no_such_factory"), std::string::npos) << error;
    error.clear();
    EXPECT_NE(CodecModuleSymbol("tilvo_heif", "tilvo_heif_codec", error), nullptr) << error;
}

// tilvo-cli copied into a folder without its modules: JPEG and PNG still work, a HEIF file fails
// with the reason (also when the module is there but cannot be loaded), a video is refused as
// without a decoder.
TEST_F(CodecModules, AProgramWithoutItsModulesOpensEverythingElse) {
    if (fs::exists(fs::path(TILVO_INSTALLED_MODULE_DIR) / "tilvo_heif.so"))
        GTEST_SKIP() << "the modules are installed in " << TILVO_INSTALLED_MODULE_DIR;
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    fs::copy_file(TILVO_CLI, bin / "tilvo-cli");
    const auto run = [&](const std::string& in, const std::string& out, std::string& stderrText) {
        const fs::path errFile = dir_ / "stderr.txt";
        const std::string cmd = "'" + (bin / "tilvo-cli").string() + "' '" + in + "' '" +
                                (dir_ / out).string() + "' >/dev/null 2>'" + errFile.string() + "'";
        const int status = std::system(cmd.c_str());
        std::ifstream err(errFile);
        stderrText.assign(std::istreambuf_iterator<char>(err), {});
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string err;
    EXPECT_EQ(run((kData / "read/jpeg/color420.jpg").string(), "a.png", err), 0) << err;
    EXPECT_EQ(run((kData / "read/png/gray1.png").string(), "b.jpg", err), 0) << err;
    EXPECT_NE(run((kData / "read/heic/rotated.heic").string(), "c.png", err), 0);
    EXPECT_NE(err.find("HEIF and AVIF pictures cannot be read: the codec module tilvo_heif.so is "
                       "not installed"),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(dir_ / "c.png"));
    // A module that is there but cannot be loaded (a broken file, a library of its own missing).
    std::ofstream(bin / "tilvo_heif.so") << "not a shared object";
    EXPECT_NE(run((kData / "read/heic/rotated.heic").string(), "c.png", err), 0);
    EXPECT_NE(
        err.find("the codec module " + (bin / "tilvo_heif.so").string() + " cannot be loaded"),
        std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(dir_ / "c.png"));
#ifdef TILVO_HAVE_VIDEO_DECODER
    std::ofstream(dir_ / "d.avi", std::ios::binary) << "RIFF\x10\0\0\0AVI LIST";
    EXPECT_NE(run((dir_ / "d.avi").string(), "d.png", err), 0);
    EXPECT_NE(err.find(kNoVideoDecoder), std::string::npos) << err;
#endif
}

}  // namespace
}  // namespace tilvo
