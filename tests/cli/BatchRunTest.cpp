// tilvo-cli's batch runs as engines drive them: the list of files, the JSON Lines report,
// skipping outputs that exist, --quiet; the units on their own and the real program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "BatchRun.h"
#include "CliOptions.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

class BatchRunFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-batchrun-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "in");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string file = (dir_ / name).string();
        WriteWholeFile(file, bytes.data(), int64_t(bytes.size()));
        return file;
    }
    static std::vector<std::string> LinesOf(const std::string& file) {
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // A bitmap of w × h whose pixels all differ a little.
    std::string Picture(const std::string& name, int w, int h, int seed) const {
        TBitmap b(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                b.SetPixel(x, y, RGB(uint8_t(x * 7 + seed), uint8_t(y * 3 + seed), uint8_t(x ^ y)));
        const std::string file = (dir_ / "in" / name).string();
        b.SaveToFile(file);
        return file;
    }

    struct TRun {
        int Status = -1;
        std::string Out, Err;
    };
    TRun Run(const std::vector<std::string>& args, const std::string& input = "/dev/null") const {
        std::string cmd = "cd '" + dir_.string() + "' && '" + TILVO_CLI + "'";
        for (const auto& a : args) cmd += " '" + a + "'";
        const std::string out = (dir_ / "stdout.txt").string(),
                          err = (dir_ / "stderr.txt").string();
        cmd += " <'" + input + "' >'" + out + "' 2>'" + err + "'";
        const int status = std::system(cmd.c_str());
        TRun r;
        r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const std::vector<uint8_t> o = ReadWholeFile(out), e = ReadWholeFile(err);
        r.Out.assign(o.begin(), o.end());
        r.Err.assign(e.begin(), e.end());
        return r;
    }

    fs::path dir_;
};

TEST_F(BatchRunFiles, ReadsListsOfNamesByLineOrByNul) {
    struct TCase {
        const char* What;
        std::string Bytes;
        bool Nul;
        std::vector<std::string> Names;
    };
    const std::vector<TCase> cases = {
        {"lines", "a.jpg\nb c.png\n", false, {"a.jpg", "b c.png"}},
        {"no newline at the end", "a.jpg\nb.png", false, {"a.jpg", "b.png"}},
        {"empty lines skipped", "\n\na.jpg\n\n", false, {"a.jpg"}},
        {"a carriage return is part of the name", "a.jpg\r\n", false, {"a.jpg\r"}},
        {"NUL-separated, a newline in a name",
         std::string("a\nb.jpg\0c.png\0", 14),
         true,
         {"a\nb.jpg", "c.png"}},
        {"NUL-separated, empty names skipped", std::string("\0\0a.png", 7), true, {"a.png"}},
        {"empty", "", false, {}},
    };
    for (const TCase& c : cases) {
        const std::string file = Write("list", c.Bytes);
        EXPECT_EQ(ReadFileList(file, c.Nul), c.Names) << c.What;
    }
    EXPECT_THROW(ReadFileList((dir_ / "missing").string(), false), Exception);
}

TEST(BatchReport, FormatsOneJsonObjectALine) {
    TReportEntry ok{"in/a.jpg", "out/a.jpg", "ok", "", {6000, 4000, 2, TConvertFacts::TExif::Kept},
                    0.1234};
    EXPECT_EQ(FormatReportLine(ok),
              "{\"input\":\"in/a.jpg\",\"output\":\"out/a.jpg\",\"status\":\"ok\",\"message\":\"\","
              "\"width\":6000,\"height\":4000,\"items\":2,\"exif\":\"kept\",\"seconds\":0.123}\n");

    TReportEntry failed{"we\"ird\\name\n\t\x01.jpg", "o", "failed", "Cannot open", {}, 0};
    EXPECT_EQ(FormatReportLine(failed),
              "{\"input\":\"we\\\"ird\\\\name\\n\\t\\u0001.jpg\",\"output\":\"o\",\"status\":"
              "\"failed\",\"message\":\"Cannot open\",\"width\":null,\"height\":null,\"items\":0,"
              "\"exif\":null,\"seconds\":0.000}\n");

    // UTF-8 passes as it is; a byte that is not UTF-8 (Latin-1, a cut sequence, an overlong
    // form, a surrogate) becomes U+FFFD, so the line stays valid JSON.
    const struct {
        std::string Name, Json;
    } names[] = {
        {"写真\xF0\x9F\x93\xB7.jpg", "写真\xF0\x9F\x93\xB7.jpg"},
        {"caf\xE9.jpg", "caf\xEF\xBF\xBD.jpg"},
        {"cut\xE5\x86", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& n : names) {
        TReportEntry e{n.Name, "o", "skipped", "", {}, 0};
        const std::string line = FormatReportLine(e);
        EXPECT_EQ(line.substr(0, line.find("\",\"output\"")), "{\"input\":\"" + n.Json) << n.Name;
    }
}

TEST_F(BatchRunFiles, TheReportAppendsWholeLinesFromManyWriters) {
    const std::string file = (dir_ / "report.jsonl").string();
    Write("report.jsonl", "{\"earlier\":1}\n");
    {
        // Two reports on one file, as two processes would have, each written from four threads.
        TBatchReport a(file), b(file);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) {
                    const std::string name(size_t(100 + i % 50), char('a' + t));
                    (t % 2 ? a : b).Add(TReportEntry{name, name, "ok", "", {}, 0});
                }
            });
        for (auto& th : threads) th.join();
    }
    const std::vector<std::string> lines = LinesOf(file);
    ASSERT_EQ(lines.size(), 1u + 8 * 200);
    EXPECT_EQ(lines[0], "{\"earlier\":1}");
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        ASSERT_EQ(l.rfind("{\"input\":\"", 0), 0u) << l;
        ASSERT_EQ(l.back(), '}') << l;
        const char c = l[10];
        const size_t n = l.find('"', 10) - 10;
        EXPECT_EQ(l.substr(10, n), std::string(n, c)) << "a line mixed with another";
    }
    EXPECT_THROW(TBatchReport((dir_ / "no/such/folder/r.jsonl").string()), Exception);
}

TEST(BatchOptions, ParsesTheBatchOptionsAndRefusesTheirMisuse) {
    const fs::path list = fs::temp_directory_path() / ("tilvo-list-" + std::to_string(::getpid()));
    WriteWholeFile(list.string(), "b.png\nc.png\n", 12);
    const TCliOptions o = ParseCliOptions({"--out-dir", "o", "a.png", "--files-from", list.string(),
                                           "--report", "r.jsonl", "--skip-existing", "--quiet"});
    EXPECT_EQ(o.Inputs, (std::vector<std::string>{"a.png", "b.png", "c.png"}));
    EXPECT_EQ(o.Report, "r.jsonl");
    EXPECT_TRUE(o.SkipExisting && o.Quiet);
    EXPECT_EQ(ParseCliOptions({"in.png", "out.png", "--report", "r", "--skip-existing"}).Report,
              "r");
    // An empty list is an empty shard: nothing to do.
    const fs::path empty = list.string() + ".empty";
    WriteWholeFile(empty.string(), "", 0);
    EXPECT_TRUE(ParseCliOptions({"--out-dir", "o", "--files-from", empty.string()}).Inputs.empty());

    const std::vector<std::vector<std::string>> bad = {
        {"--out-dir", "o", "--files-from", "-", "-"},       // both read standard input
        {"a.png", "b.png", "--files-from", list.string()},  // a list needs --out-dir
        {"--out-dir", "o", "a.png", "-0"},                  // -0 without a list
        {"--out-dir", "o", "--files-from", (list.string() + ".missing")},
        {"--out-dir", "o", "a.png", "--report"},
        {"--out-dir", "o", "a.png", "--report", ""},
        {"--out-dir", "o", "--files-from", ""},
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCliOptions(args), EUsage) << args.back();
    fs::remove(list);
    fs::remove(empty);
}

TEST_F(BatchRunFiles, ReportsEachInputAndARerunSkipsWhatIsWritten) {
    Picture("a.bmp", 40, 30, 1);
    Picture("b.bmp", 50, 20, 2);
    fs::copy_file(TILVO_SAMPLE_JPEG, dir_ / "in/camera.jpg");  // it has an Exif block
    Write("in/broken.bmp", "BM not a bitmap");
    Write("list", std::string("in/a.bmp\0in/camera.jpg\0in/broken.bmp\0", 37));

    const std::vector<std::string> args = {"--out-dir",
                                           "out",
                                           "--type",
                                           "jpeg",
                                           "--exif-copy",
                                           "-j",
                                           "2",
                                           "--files-from",
                                           "-",
                                           "-0",
                                           "--report",
                                           "report.jsonl",
                                           "--skip-existing",
                                           "--rect",
                                           "0,0,10,10",
                                           "in/b.bmp"};
    const TRun first = Run(args, (dir_ / "list").string());
    EXPECT_EQ(first.Status, 1) << first.Out << first.Err;
    EXPECT_NE(first.Out.find("3 of 4 files written, 1 failed"), std::string::npos) << first.Out;
    std::vector<std::string> lines = LinesOf((dir_ / "report.jsonl").string());
    ASSERT_EQ(lines.size(), 4u);
    std::sort(lines.begin(), lines.end());
    auto upToSeconds = [](const std::string& l) { return l.substr(0, l.find(",\"seconds\":")); };
    EXPECT_EQ(upToSeconds(lines[0]),
              "{\"input\":\"in/a.bmp\",\"output\":\"out/a.jpg\",\"status\":\"ok\",\"message\":\"\","
              "\"width\":40,\"height\":30,\"items\":1,\"exif\":\"none\"");
    EXPECT_EQ(upToSeconds(lines[1]),
              "{\"input\":\"in/b.bmp\",\"output\":\"out/b.jpg\",\"status\":\"ok\",\"message\":\"\","
              "\"width\":50,\"height\":20,\"items\":1,\"exif\":\"none\"");
    EXPECT_EQ(lines[2].rfind("{\"input\":\"in/broken.bmp\",\"output\":\"out/broken.jpg\","
                             "\"status\":\"failed\",\"message\":\"",
                             0),
              0u)
        << lines[2];
    EXPECT_NE(lines[2].find("\"width\":null,\"height\":null,\"items\":0,\"exif\":null"),
              std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find("\"status\":\"ok\""), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find("\"exif\":\"kept\""), std::string::npos) << lines[3];

    // The rerun writes nothing that exists (the files keep their time) and tries the failed one
    // again; its lines are appended.
    const auto written = fs::last_write_time(dir_ / "out/a.jpg");
    const std::vector<uint8_t> bytes = ReadWholeFile((dir_ / "out/a.jpg").string());
    const TRun second = Run(args, (dir_ / "list").string());
    EXPECT_EQ(second.Status, 1);
    EXPECT_NE(second.Out.find("in/a.bmp -> out/a.jpg: skipped, it exists"), std::string::npos)
        << second.Out;
    EXPECT_NE(second.Out.find("0 of 4 files written, 3 skipped, 1 failed"), std::string::npos)
        << second.Out;
    EXPECT_EQ(fs::last_write_time(dir_ / "out/a.jpg"), written);
    EXPECT_EQ(ReadWholeFile((dir_ / "out/a.jpg").string()), bytes);
    lines = LinesOf((dir_ / "report.jsonl").string());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(std::count_if(lines.begin() + 4, lines.end(),
                            [](const std::string& l) {
                                return l.find(
                                           "\"status\":\"skipped\",\"message\":\"the output "
                                           "exists\"") != std::string::npos;
                            }),
              3);
}

TEST_F(BatchRunFiles, QuietPrintsOnlyFailuresOnStandardError) {
    const std::string a = Picture("a.bmp", 20, 20, 1);
    const std::string broken = Write("in/broken.bmp", "BM not a bitmap");
    const TRun r = Run({"--out-dir", "out", "--quiet", "--type", "png", a, broken});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err.rfind("tilvo-cli: " + broken + ": failed: ", 0), 0u) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_TRUE(fs::exists(dir_ / "out/a.png"));

    // Without a terminal there is no progress line: standard error holds nothing else.
    const TRun loud = Run({"--out-dir", "out2", "--type", "png", "--stroke", "3,3", a});
    EXPECT_EQ(loud.Status, 0);
    EXPECT_EQ(loud.Err, "");
}

TEST_F(BatchRunFiles, OneInputReportsAndSkipsToo) {
    const std::string a = Picture("a.bmp", 24, 16, 5);
    const std::vector<std::string> args = {
        a, "out.png", "--report", "r.jsonl", "--skip-existing", "--stroke", "2,2"};
    TRun r = Run(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    r = Run(args);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("out.png exists: skipped"), std::string::npos) << r.Err;
    const TRun failed = Run({(dir_ / "in/none.bmp").string(), "x.png", "--report", "r.jsonl"});
    EXPECT_EQ(failed.Status, 1);
    const std::vector<std::string> lines = LinesOf((dir_ / "r.jsonl").string());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"status\":\"ok\",\"message\":\"\",\"width\":24,\"height\":16,"
                            "\"items\":1,\"exif\":\"none\""),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"status\":\"skipped\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\"status\":\"failed\""), std::string::npos) << lines[2];
}

}  // namespace
}  // namespace tilvo
