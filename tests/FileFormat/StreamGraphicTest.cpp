// Streams, the safe file replacement, the graphic base class, the picture registry and the open
// path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>

#include "FileFormat/BMPImage.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

// A scratch folder of its own for each test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tilvo-stream-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    fs::path path_;
};

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

void WriteRaw(const std::string& name, const std::vector<uint8_t>& data) {
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// A graphic class for the framework's defaults; its saver writes some bytes and may then fail.
class TTestImage : public TGraphic {
  public:
    TTestImage() : TGraphic(std::make_shared<TSharedImage>()) {}
    const char* ClassName() const override { return "TTestImage"; }
    void LoadFromStream(TStream& stream) override { holder_->Stream = stream.ReadAll(); }
    void SaveToStream(TStream& stream) override {
        TGraphic::SaveToStream(stream);
        if (FailAfterWriting) throw Exception("encoder failed");
    }
    bool FailAfterWriting = false;
};

class TOtherImage : public TTestImage {
  public:
    const char* ClassName() const override { return "TOtherImage"; }
};

std::unique_ptr<TGraphic> NewTest() {
    return std::make_unique<TTestImage>();
}
std::unique_ptr<TGraphic> NewOther() {
    return std::make_unique<TOtherImage>();
}

// A 5×3 8-bit bitmap file with a four-colour palette.
std::vector<uint8_t> SmallBitmapFile() {
    TBitmap bmp(5, 3, pf8bit);
    bmp.Palette() = {{10, 20, 30, 0}, {200, 0, 0, 0}, {0, 200, 0, 0}, {0, 0, 200, 0}};
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 5; ++x) bmp.ScanLine(y)[x] = uint8_t((x + y) % 4);
    TMemoryStream ms;
    SaveBitmapToStream(bmp, ms);
    return ms.Memory();
}

template <class E, class F>
std::string MessageOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(MemoryStream, ReadsWritesSeeksAndReadsAllFromTheStart) {
    TMemoryStream ms;
    ms.Write("abcdef", 6);
    EXPECT_EQ(ms.Seek(-2, TSeekOrigin::soEnd), 4);
    char two[3] = {};
    EXPECT_EQ(ms.Read(two, 5), 2);  // only what is left
    EXPECT_STREQ(two, "ef");
    EXPECT_EQ(ms.Read(two, 1), 0);
    ms.SetPosition(8);  // beyond the end: a write fills the gap with zeros
    ms.Write("Z", 1);
    EXPECT_EQ(ms.Memory(), Bytes(std::string("abcdef\0\0Z", 9)));
    ms.SetPosition(3);
    EXPECT_EQ(ms.ReadAll(), ms.Memory());
    EXPECT_EQ(ms.Position(), 9);
    EXPECT_THROW(ms.Seek(-1, TSeekOrigin::soBeginning), EFileError);
    ms.SetPosition(7);
    char buf[4];
    EXPECT_THROW(ms.ReadBuffer(buf, 4), EFileError);
}

TEST(FileStream, ErrorsNameTheFileAndTheCause) {
    TempDir dir;
    const std::string missing = dir / "missing.bmp";
    EXPECT_EQ(MessageOf<EFileError>([&] { TFileStream s(missing, TFileStream::fmOpenRead); }),
              "Cannot open file \"" + missing + "\": No such file or directory");
    const std::string inMissingDir = dir / "no/such/dir/x.png";
    EXPECT_EQ(MessageOf<EFileError>([&] { TSafeFileStream s(inMissingDir); }),
              "Cannot create file \"" + inMissingDir + "\": No such file or directory");
    EXPECT_THROW(ReadWholeFile(dir / ""), EFileError);  // a folder is not a file

    WriteWholeFile(dir / "a.bin", "hello", 5);
    EXPECT_EQ(ReadWholeFile(dir / "a.bin"), Bytes("hello"));
    TFileStream in(dir / "a.bin", TFileStream::fmOpenRead);
    in.SetPosition(2);
    EXPECT_EQ(in.ReadAll(), Bytes("hello"));
    EXPECT_EQ(in.Size(), 5);
}

TEST(SafeFileStream, WithoutCommitTheOldFileStaysAndNoTemporaryRemains) {
    TempDir dir;
    const std::string target = dir / "picture.bmp";
    WriteRaw(target, Bytes("old content"));
    {
        TSafeFileStream s(target);
        s.Write("new", 3);
        EXPECT_EQ(dir.Names().size(), 2u);  // the temporary file sits beside the target
    }
    EXPECT_EQ(ReadWholeFile(target), Bytes("old content"));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"picture.bmp"});

    // A graphic whose saver fails half-way leaves the file as it was.
    TTestImage g;
    g.Holder()->Stream = Bytes("partial data that must not land");
    g.FailAfterWriting = true;
    EXPECT_THROW(g.SaveToFile(target), Exception);
    EXPECT_EQ(ReadWholeFile(target), Bytes("old content"));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"picture.bmp"});

    g.FailAfterWriting = false;
    g.SaveToFile(target);
    EXPECT_EQ(ReadWholeFile(target), Bytes("partial data that must not land"));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"picture.bmp"});
}

// This machine's name as the temporary names carry it.
std::string HostTag() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string t(host[0] ? host : "localhost");
    for (char& c : t)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    return t;
}

// The temporary file is named for the target, this host and this process.
TEST(SafeFileStream, TheTemporaryNameCarriesTheHostAndTheProcess) {
    TempDir dir;
    TSafeFileStream s(dir / "photo.png");
    s.Write("x", 1);
    const std::vector<std::string> names = dir.Names();
    ASSERT_EQ(names.size(), 1u);
    const std::string prefix =
        ".photo.png.tilvo-" + HostTag() + "-" + std::to_string(getpid()) + "-";
    EXPECT_EQ(names[0].substr(0, prefix.size()), prefix);
    EXPECT_EQ(names[0].size(), prefix.size() + 6);
    EXPECT_TRUE(IsTemporaryFileName(names[0]));
    for (const char* other : {"photo.png", ".photo.png.AbC123", ".photo.png.tilvo-host-12-ab",
                              ".photo.png.tilvo-host-x1-abcdef", ".tilvo-host-1-abcdef"})
        EXPECT_FALSE(IsTemporaryFileName(other)) << other;
    // A name far too long for a folder entry is cut, never refused.
    const std::string longName = dir / (std::string(250, 'n') + ".png");
    TSafeFileStream l(longName);
    l.Write("y", 1);
    l.Commit();
    EXPECT_EQ(ReadWholeFile(longName), Bytes("y"));
}

// A later save into the folder removes what killed processes of this host left there, and
// nothing else: not the files of running processes, of other hosts, or any other file.
TEST(SafeFileStream, ALaterSaveRemovesOnlyTheTemporaryFilesOfDeadProcessesOfThisHost) {
    TempDir dir;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);  // a process id that no longer runs
    const std::string host = HostTag(), dead = std::to_string(child);
    const std::string stale = ".a.jpg.tilvo-" + host + "-" + dead + "-k3j9x0";
    const std::vector<std::string> kept = {
        ".a.jpg.tilvo-" + host + "-1-k3j9x0",                                 // a running process
        ".a.jpg.tilvo-" + host + "-" + std::to_string(getpid()) + "-zzzzzz",  // this one
        ".a.jpg.tilvo-" + host + "x-" + dead + "-k3j9x0",                     // another host
        ".a.jpg.XyZ123",                                                      // not a name of ours
        "a.jpg"};
    WriteRaw(dir / stale, Bytes("unredacted"));
    for (const std::string& k : kept) WriteRaw(dir / k, Bytes("keep"));
    WriteWholeFile(dir / "b.png", "new", 3);
    std::vector<std::string> expected = kept;
    expected.push_back("b.png");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.Names(), expected);
}

TEST(SafeFileStream, AFailingWriteOnDiskLeavesTheOldFileByteIdentical) {
    // The file size limit makes the kernel refuse writes past 4 KiB, a real write error.
    TempDir dir;
    const std::string target = dir / "big.bmp";
    std::vector<uint8_t> old(3000);
    for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i * 7);
    WriteRaw(target, old);

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        const std::vector<uint8_t> data(100000, 0xAB);
        WriteWholeFile(target, data.data(), int64_t(data.size()));
    } catch (const EFileError& e) {
        message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(message, "Cannot write file \"" + target + "\": File too large");
    EXPECT_EQ(ReadWholeFile(target), old);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"big.bmp"});
}

TEST(SafeFileStream, KeepsPermissionsAndFollowsSymbolicLinks) {
    TempDir dir;
    const std::string target = dir / "kept.bmp";
    WriteRaw(target, Bytes("x"));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    WriteWholeFile(target, "yz", 2);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const mode_t oldMask = umask(027);
    WriteWholeFile(dir / "new.bmp", "n", 1);
    umask(oldMask);
    ASSERT_EQ(stat((dir / "new.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // 0666 less the umask, not mkstemp's 0600

    const std::string link = dir / "link.bmp";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    WriteWholeFile(link, "via link", 8);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadWholeFile(target), Bytes("via link"));
}

TEST(SafeFileStream, AReadOnlyFileIsRefusedAndLeftAlone) {
    TempDir dir;
    const std::string target = dir / "locked.bmp";
    WriteRaw(target, Bytes("old content"));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    // Refused before anything is written, also for a process that could write it anyway.
    EXPECT_EQ(MessageOf<EFileError>([&] { WriteWholeFile(target, "new", 3); }),
              "Cannot write file \"" + target + "\": Permission denied");
    TTestImage g;
    g.Holder()->Stream = Bytes("new picture");
    EXPECT_THROW(g.SaveToFile(target), EFileError);

    // A file that turns read-only while the picture is being written is not replaced either.
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    {
        TSafeFileStream s(target);
        s.Write("new", 3);
        ASSERT_EQ(chmod(target.c_str(), 0444), 0);
        EXPECT_THROW(s.Commit(), EFileError);
    }
    EXPECT_EQ(ReadWholeFile(target), Bytes("old content"));
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"locked.bmp"});
}

TEST(SafeFileStream, PipesAndDevicesAreWrittenDirectlyAndNeverReplaced) {
    TempDir dir;
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto drain = [&] {
        return std::async(std::launch::async, [&] {
            std::ifstream in(fifo, std::ios::binary);
            return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
        });
    };
    {
        auto received = drain();
        TSafeFileStream s(fifo);
        EXPECT_EQ(s.TargetKind(), TSafeFileStream::TTargetKind::Direct);
        s.Write("head", 4);
        s.SetPosition(0);  // writers may go back to fill in a header
        s.Write("HE", 2);
        s.Commit();
        EXPECT_EQ(received.get(), Bytes("HEad"));
    }
    {
        // A writer that fails sends nothing: the reader sees only the end of the data.
        auto received = drain();
        TTestImage g;
        g.Holder()->Stream = Bytes("half a picture");
        g.FailAfterWriting = true;
        EXPECT_THROW(g.SaveToFile(fifo), Exception);
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ::close(fd);
        EXPECT_EQ(received.get(), std::vector<uint8_t>{});
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"pipe"});

    WriteWholeFile("/dev/null", "discarded", 9);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // A file in a folder below /dev (the memory file system) is an ordinary file: made through a
    // temporary file like any other.
    if (fs::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0) {
        const std::string shm = "/dev/shm/tilvo_stream_test_" + std::to_string(::getpid());
        {
            TSafeFileStream s(shm);
            EXPECT_EQ(s.TargetKind(), TSafeFileStream::TTargetKind::Replace);
            s.Write("shm", 3);
            s.Commit();
        }
        EXPECT_EQ(ReadWholeFile(shm), Bytes("shm"));
        fs::remove(shm);
    }
}

// Runs `step` with an ordinary user's rights and answers its result (0 … 255): as root in a child
// process that gives its rights up, otherwise in this process.
int AsOrdinaryUser(const std::function<int()>& step) {
    if (geteuid() != 0) return step();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        _exit(step());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(SafeFileStream, AWritableFileInALockedFolderIsRewrittenInPlaceOnlyWhenItFits) {
    TempDir dir;
    ASSERT_EQ(chmod((dir / "").c_str(), 0755), 0);
    const std::string folder = dir / "locked";
    ASSERT_TRUE(fs::create_directory(folder));
    const std::string target = folder + "/photo.bmp";
    const std::string link = dir / "link.bmp";
    std::vector<uint8_t> old(3000);
    for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i * 7);
    WriteRaw(target, old);
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    ASSERT_EQ(::link(target.c_str(), link.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(target.c_str(), &before), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);

    // A disk that cannot take the new content (the file size limit refuses it, as a full disk
    // would): the save fails before any byte of the file changes.
    const int full = AsOrdinaryUser([&] {
        struct rlimit saved {};
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 4096;
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        int result = 2;
        try {
            TSafeFileStream s(target);
            if (s.TargetKind() != TSafeFileStream::TTargetKind::InPlace) return 3;
            const std::vector<uint8_t> data(100000, 0xAB);
            s.Write(data.data(), int64_t(data.size()));
            s.Commit();
        } catch (const EFileError& e) {
            result = std::string(e.what()) == "Cannot write file \"" + target + "\": File too large"
                         ? 0
                         : 1;
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);
        return result;
    });
    EXPECT_EQ(full, 0);
    EXPECT_EQ(ReadWholeFile(target), old);

    // Room enough: rewritten in place, longer and then shorter; the file keeps its inode and
    // mode, so the hard link shows the new picture too.
    for (const size_t size : {5000u, 1000u}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> data(size, uint8_t(size));
        EXPECT_EQ(AsOrdinaryUser([&] {
                      try {
                          WriteWholeFile(target, data.data(), int64_t(data.size()));
                          return 0;
                      } catch (const std::exception&) {
                          return 1;
                      }
                  }),
                  0);
        EXPECT_EQ(ReadWholeFile(target), data);
        EXPECT_EQ(ReadWholeFile(link), data);
        struct stat after {};
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    EXPECT_EQ(fs::directory_iterator(folder)->path().filename(), "photo.bmp");
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    // In a folder that can be written the file is replaced: the hard link keeps the old picture.
    WriteWholeFile(target, "replaced", 8);
    EXPECT_EQ(ReadWholeFile(target), Bytes("replaced"));
    EXPECT_EQ(ReadWholeFile(link), std::vector<uint8_t>(1000, uint8_t(1000)));
}

TEST(PictureRegistry, LookupIgnoresCaseAndTheDotAndTheNewestEntryWins) {
    TPictureFormats reg;
    reg.Register("MAG", "MAki chan Graphic format", "TTestImage", NewTest);
    reg.Register("cur", "Cursor", "TTestImage", NewTest);
    reg.Register("cur", "Cursor", "TOtherImage", NewOther);
    EXPECT_EQ(reg.Entries()[0].Extension, "mag");

    const struct {
        const char* query;
        const char* className;  // nullptr: no entry
    } cases[] = {
        {"mag", "TTestImage"},  {".MAG", "TTestImage"},  {"Mag", "TTestImage"},
        {"CUR", "TOtherImage"}, {".Cur", "TOtherImage"}, {"cu", nullptr},
        {"", nullptr},          {".", nullptr},
    };
    for (const auto& c : cases) {
        const TPictureFormatEntry* e = reg.Find(c.query);
        if (!c.className) {
            EXPECT_EQ(e, nullptr) << c.query;
        } else {
            ASSERT_NE(e, nullptr) << c.query;
            EXPECT_EQ(e->ClassName, c.className) << c.query;
        }
    }
    reg.UnregisterClass("TOtherImage");
    EXPECT_EQ(reg.Find("cur")->ClassName, "TTestImage");
    EXPECT_EQ(reg.Entries().size(), 2u);
}

TEST(PictureRegistry, RegisterAllFormatsPutsTheBitmapFirstOnceAndUnregisterRemovesIt) {
    TPictureFormats& reg = PictureFormats();
    RegisterAllFormats();
    RegisterAllFormats();  // a second call does not duplicate
    ASSERT_FALSE(reg.Entries().empty());
    EXPECT_EQ(reg.Entries()[0].Extension, "bmp");
    EXPECT_EQ(reg.Entries()[0].ClassName, "TBMPImage");
    for (const TPictureFormatEntry& e : reg.Entries()) {
        EXPECT_EQ(std::count_if(reg.Entries().begin(), reg.Entries().end(),
                                [&](const auto& o) {
                                    return o.Extension == e.Extension &&
                                           o.ClassName == e.ClassName;
                                }),
                  1)
            << e.Extension;
        // An extension registered twice ("cur") goes to the later class.
        const auto newest = std::find_if(reg.Entries().rbegin(), reg.Entries().rend(),
                                         [&](const auto& o) { return o.Extension == e.Extension; });
        EXPECT_EQ(reg.Find(e.Extension)->Create()->ClassName(), newest->ClassName);
    }
    EXPECT_STREQ(reg.Find("CUR")->Create()->ClassName(), "TIconImageB");
    EXPECT_STREQ(reg.Find("Ico")->Create()->ClassName(), "TIconImageB");
    EXPECT_STREQ(reg.Find("res")->Create()->ClassName(), "TDcrImageA");
    reg.Register("xyz", "test", "TTestImage", NewTest);
    UnregisterAllFormats();
    ASSERT_EQ(reg.Entries().size(), 1u);  // only what others registered remains
    EXPECT_EQ(reg.Entries()[0].Extension, "xyz");
    reg.Clear();
    RegisterAllFormats();
}

TEST(PictureRegistry, UnknownExtensionFailsBeforeAnyClassIsMade) {
    RegisterAllFormats();
    EXPECT_EQ(MessageOf<EInvalidGraphic>([] { CreateGraphicForFile("/tmp/photo.XyZ"); }),
              "Unknown picture file extension (.xyz)");
    EXPECT_EQ(MessageOf<EInvalidGraphic>([] { CreateGraphicForFile("/tmp/dir.bmp/noext"); }),
              "Unknown picture file extension (.)");
    EXPECT_STREQ(CreateGraphicForFile("/tmp/a.b/PIC.BMP")->ClassName(), "TBMPImage");
}

TEST(Graphic, AStreamInTheMiddleIsStillReadFromItsFirstByte) {
    TMemoryStream ms(SmallBitmapFile());
    ms.SetPosition(20);
    TBMPImage img;
    img.LoadFromStream(ms);
    EXPECT_EQ(img.GetWidth(), 5);
    EXPECT_EQ(img.GetHeight(), 3);
}

TEST(Graphic, AssignSharesTheHolderOfTheSameClassAndRefusesOthers) {
    TMemoryStream ms(SmallBitmapFile());
    TBMPImage a;
    a.LoadFromStream(ms);
    TBMPImage b;
    b.Assign(a);
    EXPECT_EQ(b.Holder(), a.Holder());
    EXPECT_EQ(a.Holder().use_count(), 2);
    ASSERT_EQ(b.GetWidth(), 5);
    a.Bitmap().ScanLine(0)[0] = 3;  // the surfaces are copies
    EXPECT_NE(b.Bitmap().ScanLine(0)[0], 3);

    TBitmap surface;
    a.AssignTo(surface);  // the reader's own pixel format arrives
    EXPECT_EQ(surface.PixelFormat(), pf8bit);
    EXPECT_EQ(surface.Pixel(0, 0), RGB(0, 0, 200));

    TTestImage other;
    EXPECT_EQ(MessageOf<EConvertError>([&] { b.Assign(other); }),
              "Cannot assign a TTestImage to a TBMPImage");
    EXPECT_EQ(b.Holder(), a.Holder());

    EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { a.SetWidth(2); }), "Can't change width");
    EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { a.SetHeight(2); }), "Can't change height");
    EXPECT_EQ(a.GetWidth(), 5);
    EXPECT_FALSE(a.GetEmpty());

    TBitmap big(7, 2);
    b.Assign(big);  // from a surface: a copy of it
    EXPECT_EQ(b.GetWidth(), 7);
    EXPECT_EQ(b.Bitmap().PixelFormat(), pf24bit);
}

TEST(Graphic, ReadOnlyClassWritesBackTheFileItKept) {
    TempDir dir;
    WriteRaw(dir / "in.tst", Bytes("kept bytes"));
    TTestImage g;
    g.LoadFromFile(dir / "in.tst");
    TMemoryStream out;
    g.SaveToStream(out);
    EXPECT_EQ(out.Memory(), Bytes("kept bytes"));
}

TEST(LoadPictureFile, ConvertsTo24BitsAndLeavesThePictureAloneOnFailure) {
    RegisterAllFormats();
    TempDir dir;
    WriteRaw(dir / "good.BMP", SmallBitmapFile());
    std::vector<uint8_t> broken = SmallBitmapFile();
    broken.resize(broken.size() - 4);
    WriteRaw(dir / "broken.bmp", broken);

    TBitmap picture(2, 2);
    picture.SetPixel(1, 1, RGB(1, 2, 3));
    EXPECT_THROW(LoadPictureFile(dir / "broken.bmp", picture), Exception);
    EXPECT_THROW(LoadPictureFile(dir / "missing.bmp", picture), EFileError);
    WriteRaw(dir / "text.qqq", std::vector<uint8_t>(40, 'x'));
    EXPECT_THROW(LoadPictureFile(dir / "text.qqq", picture), EInvalidGraphic);
    ASSERT_EQ(picture.Width(), 2);
    EXPECT_EQ(picture.Pixel(1, 1), RGB(1, 2, 3));

    LoadPictureFile(dir / "good.BMP", picture);
    EXPECT_EQ(picture.PixelFormat(), pf24bit);
    EXPECT_EQ(picture.Width(), 5);
    EXPECT_EQ(picture.Pixel(4, 2), RGB(0, 200, 0));  // index (4 + 2) % 4
}

// Memory that runs out while a picture opens is named with the file and what it needs.
TEST(LoadPictureFile, RunningOutOfMemorySaysWhichFileAndHowMuch) {
    RegisterAllFormats();
    TempDir dir;
    TBitmap big(1500, 1000);
    big.SaveToFile(dir / "big.bmp");
    TBitmap picture(2, 2);
    FailSurfaceAllocationAfter(0);
    try {
        LoadPictureFile(dir / "big.bmp", picture);
        ADD_FAILURE() << "opened without memory";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "not enough memory to open \"" + (dir / "big.bmp") + "\" (it needs about 5 MB)");
    }
    FailSurfaceAllocationAfter(-1);
    EXPECT_EQ(picture.Width(), 2);
}

TEST(LoadPictureFile, AnEmptyPictureLendsItsBufferAndGetsItBackEmptyOnFailure) {
    // The open path lets the reader decode into an empty picture's buffer (the JPEG reader does);
    // a failed load must hand it back still empty, with its format, not half-decoded.
    RegisterAllFormats();
    TempDir dir;
    TBitmap source(5, 3);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 5; ++x)
            source.SetPixel(x, y, RGB(uint8_t(40 * x), uint8_t(70 * y), 9));
    ASSERT_TRUE(WriteJpegFile(source, dir / "good.jpg", false, 90, false));
    std::vector<uint8_t> broken = ReadWholeFile(dir / "good.jpg");
    broken.resize(broken.size() / 2);
    WriteRaw(dir / "broken.jpg", broken);

    TBitmap picture(64, 64, pf32bit);
    const uint8_t* buffer = picture.ScanLine(0);
    picture.Resize(0, 0, pf32bit);
    EXPECT_THROW(LoadPictureFile(dir / "broken.jpg", picture), Exception);
    EXPECT_TRUE(picture.Empty());
    EXPECT_EQ(picture.PixelFormat(), pf32bit);

    LoadPictureFile(dir / "good.jpg", picture);
    EXPECT_EQ(picture.ScanLine(0), buffer);  // decoded into the lent buffer
    EXPECT_EQ(picture.PixelFormat(), pf24bit);
    EXPECT_EQ(picture.Width(), 5);
    EXPECT_EQ(picture.Height(), 3);
}

TEST(LoadPictureFile, AReaderThatDecodesNothingFailsAndLeavesThePictureAlone) {
    // TTestImage keeps the file's bytes and decodes no picture: the open path must not hand that
    // on as an empty "success" that Save would then write over the user's file.
    RegisterAllFormats();
    PictureFormats().Register("xyz", "test", "TTestImage", NewTest);
    TempDir dir;
    WriteRaw(dir / "nothing.xyz", Bytes("no picture here"));
    TBitmap picture(2, 2);
    picture.SetPixel(1, 1, RGB(1, 2, 3));
    EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { LoadPictureFile(dir / "nothing.xyz", picture); }),
              "The file holds no picture");
    ASSERT_EQ(picture.Width(), 2);
    EXPECT_EQ(picture.Pixel(1, 1), RGB(1, 2, 3));

    TBitmap lent(4, 4, pf8bit);
    lent.Resize(0, 0, pf8bit);
    EXPECT_THROW(LoadPictureFile(dir / "nothing.xyz", lent), EInvalidGraphic);
    EXPECT_TRUE(lent.Empty());
    EXPECT_EQ(lent.PixelFormat(), pf8bit);
    PictureFormats().UnregisterClass("TTestImage");
}

}  // namespace
}  // namespace tilvo
