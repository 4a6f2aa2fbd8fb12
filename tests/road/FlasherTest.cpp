// romflash against the emulated handheld, run as a bench script runs it; and one writer per
// handheld: the wizard and the flasher, or two wizards, at one handheld.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <vector>

#include "framework/Handles.h"
#include "tests/road/Road.h"

#include <sddl.h>

using robot::Page;

namespace {

constexpr char kDevicePath[] = "\\\\?\\root#upgrade#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
constexpr wchar_t kInUseBox[] = L"Another upgrade is using the handheld. Wait until it has finished, then try again.";

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The image's SHA-256, as romflash --check gives it.
std::string Sha256Of(const std::wstring& image)
{
    const robot::ConsoleResult r = robot::RunConsole(FlasherPath(), L"--check " + Quoted(image));
    const size_t at = r.out.find("sha256=");
    return at == std::string::npos ? std::string() : r.out.substr(at + 7, 64);
}

// The result lines of --all and --repeat ("PATH result=... key=value ... (why)"), each as its
// fields: "device" (in lower case), "result", "code", "bytes", "sent", "step", "reason", "error".
std::vector<UpgradeLog::Fields> ResultLines(const std::string& out)
{
    std::vector<UpgradeLog::Fields> lines;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find("\r\n", at);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(at, std::min(end, out.find(" (", at)) - at);
        at = end + 2;
        UpgradeLog::Fields f;
        size_t word = line.find(' ');
        f["device"] = Lower(line.substr(0, word));
        while (word != std::string::npos) {
            const size_t next = line.find(' ', word + 1);
            const std::string pair = line.substr(word + 1, next == std::string::npos ? next : next - word - 1);
            const size_t equals = pair.find('=');
            if (equals != std::string::npos) f[pair.substr(0, equals)] = pair.substr(equals + 1);
            word = next;
        }
        lines.push_back(f);
    }
    return lines;
}

// Each handheld's record says what a result line of that handheld said, field by field, and
// names the image; one record per line.
void ExpectRecordsAgreeWithResults(const std::vector<std::string>& records, const std::string& out, uint64_t bytes,
                                   const std::string& sha256)
{
    std::vector<UpgradeLog::Fields> lines = ResultLines(out);
    ASSERT_EQ(records.size(), lines.size()) << "one record per result line:\n" << out;
    for (const std::string& record : records) {
        UpgradeLog::Fields f = UpgradeLog::Parse(record);
        auto agrees = [&](UpgradeLog::Fields& said) {
            for (const char* key : {"result", "step", "reason", "error", "cause", "sent", "duration"})
                if (f[key] != said[key]) return false;
            return said["device"] == Lower(f["device"]);
        };
        const auto line = std::find_if(lines.begin(), lines.end(), agrees);
        EXPECT_NE(line, lines.end()) << "no result line says what this record says: " << record << "\n" << out;
        if (line != lines.end()) lines.erase(line);
        EXPECT_EQ(f["bytes"], std::to_string(bytes)) << record;
        EXPECT_EQ(f["sha256"], sha256) << record;
        EXPECT_EQ(f["handshake"], "ready") << record;
    }
}

class Flasher : public RoadScenario {};

TEST_F(Flasher, WritesTheWholeImageByteForByteAndRecordsTheAttempt)
{
    const std::wstring folder = TempPath(L"ρομ-フラッシュ");
    const std::wstring received = TempPath(L"flasher-received.bin");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    {
        ImageFile image(300001, L"ρομ-フラッシュ\\εικόνα 映像.bin");
        ASSERT_TRUE(device.Start(L"--save " + Quoted(received))) << Utf8(device.Error());
        UpgradeLog log;
        robot::ConsoleResult r = Flash(L"--wait 10 " + Quoted(image.Path()));
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_TRUE(Has(r.out, "300001 bytes")) << r.out;
        EmulatedHandheld::Report rep = device.Stop();
        EXPECT_EQ(rep["connections"], "1");
        EXPECT_EQ(rep["header_count"], "300001");
        EXPECT_EQ(rep["header_sum"], std::to_string(image.Sum()));
        EXPECT_EQ(rep["blocks"], "586");
        EXPECT_EQ(rep["match"], "1");
        EXPECT_EQ(rep["closed"], "1");
        EXPECT_TRUE(ReadWholeFile(received) == ReadWholeFile(image.Path())) << "not byte for byte";

        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_TRUE(std::regex_match(f["time"], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
            << f["time"];
        EXPECT_EQ(f["program"], "romflash");
        EXPECT_TRUE(std::regex_match(f["version"], std::regex(R"(\d+\.\d+\.\d+.*)"))) << f["version"];
        EXPECT_TRUE(f["arch"] == "x64" || f["arch"] == "x86") << f["arch"];
        EXPECT_EQ(f["image"], Utf8(image.Path())) << "the path in UTF-8";
        EXPECT_EQ(f["bytes"], "300001");
        EXPECT_EQ(f["sum"], std::to_string(image.Sum()));
        EXPECT_EQ(f["blocks"], "585");
        EXPECT_EQ(Lower(f["device"]), kDevicePath);
        EXPECT_EQ(f["handshake"], "ready");
        EXPECT_EQ(f["result"], "success");
        EXPECT_EQ(f["checked"], "none") << "an image with nothing beside it is written unchecked";
        EXPECT_EQ(f["sent"], "586");
        EXPECT_TRUE(std::regex_match(f["duration"], std::regex(R"(\d+\.\d{3}s)"))) << f["duration"];
        EXPECT_TRUE(std::regex_match(f["speed"], std::regex(R"(\d+\.\d\dMiB/s)"))) << f["speed"];
    }
    ::DeleteFileW(received.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

TEST_F(Flasher, NoHandheldWithinAShortWait)
{
    ImageFile image(2000);
    robot::ConsoleResult r = Flash(L"--wait 1 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_TRUE(Has(r.err, "romflash: no handheld found within 1 s\r\n")) << r.err;
    EXPECT_GE(r.elapsedMs, 1000u);
    EXPECT_LT(r.elapsedMs, 15000u);
    EXPECT_EQ(r.out, "");
}

TEST_F(Flasher, WrongAnswerEndsWithItsCodeAndSendsNothing)
{
    ImageFile image(2000);
    ASSERT_TRUE(device.Start(L"--mode wrong-byte")) << Utf8(device.Error());
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 2u) << r.err;
    EXPECT_TRUE(Has(r.err, "Please press down USB item")) << r.err;
    EmulatedHandheld::Report rep;
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000, &rep));
    EXPECT_EQ(rep["header_received"], "0");
}

TEST_F(Flasher, RefusedBlockIsNamedAndNothingFollowsIt)
{
    ImageFile image(8192);
    ASSERT_TRUE(device.Start(L"--refuse-block 3")) << Utf8(device.Error());
    UpgradeLog log;
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 4u) << r.err;
    EXPECT_TRUE(Has(r.err, "refused block 3 ")) << r.err;
    EmulatedHandheld::Report rep = device.Stop();
    ExpectRefusedAtBlock(rep, 3);
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:3");
    EXPECT_EQ(f["reason"], "write-refused");
    EXPECT_NE(f["error"], "0") << "the Windows error of the refused write";
}

TEST_F(Flasher, CtrlCInTheMiddleStopsBetweenTwoBlocksAndClosesTheLink)
{
    ImageFile image(64 << 20, L"big-image.bin");
    const int writes = (64 << 20) / 512 + 1;
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    robot::ConsoleProgram flasher;
    ASSERT_TRUE(flasher.Start(FlasherPath(), L"--wait 10 " + Quoted(image.Path())));
    ASSERT_TRUE(device.WaitForReport("connections", "1", 20000));
    ::Sleep(500);
    ASSERT_TRUE(flasher.PressCtrlC());
    robot::ConsoleResult r = flasher.Wait(30000);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    EmulatedHandheld::Report rep;
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000, &rep)) << "the link was closed";
    rep = device.Stop();
    const int taken = std::stoi("0" + rep["blocks"]);
    EXPECT_GT(taken, 0) << "interrupted before the transfer: make the image larger";
    EXPECT_LT(taken, writes) << "interrupted after the transfer: make the image larger";
    EXPECT_EQ(rep["header_received"], "1");
    // The flasher stopped before block `taken`, and the handheld saw nothing after it.
    EXPECT_TRUE(Has(r.err, "interrupted before block " + std::to_string(taken) + " ")) << r.err;
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["step"], "block:" + std::to_string(taken));
}

TEST_F(Flasher, SilentHandheldIsAWrongAnswerAfterTheTimeOutAndCtrlCEndsTheWaitAtOnce)
{
    ImageFile image(2000);
    ASSERT_TRUE(device.Start(L"--mode silent")) << Utf8(device.Error());
    UpgradeLog log;
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 2u) << r.err;
    EXPECT_TRUE(Has(r.err, "romflash: the handheld did not answer the handshake within 10 s\r\n")) << r.err;
    EXPECT_FALSE(Has(r.err, "Please press down USB item")) << r.err;
    EXPECT_GE(r.elapsedMs, 9500u);
    EXPECT_LT(r.elapsedMs, 15000u);
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["step"], "handshake");
    EXPECT_EQ(f["reason"], "timeout");
    EXPECT_GE(std::stod(f["duration"]), 9.5) << "the handshake's wait is part of the attempt";
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000));

    // Ctrl+C in the middle of the handshake's wait.
    log = UpgradeLog();
    robot::ConsoleProgram flasher;
    ASSERT_TRUE(flasher.Start(FlasherPath(), L"--wait 5 " + Quoted(image.Path())));
    ASSERT_TRUE(device.WaitForReport("connections", "2", 10000));
    ::Sleep(500);
    const DWORD pressed = ::GetTickCount();
    ASSERT_TRUE(flasher.PressCtrlC());
    r = flasher.Wait(10000);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    EXPECT_LT(::GetTickCount() - pressed, 1500u) << "Ctrl+C did not end the wait at once";
    EXPECT_TRUE(device.WaitForReport("closed", "2", 5000)) << "the link was closed";
    EXPECT_EQ(device.Stop()["header_received"], "0");
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["handshake"], "interrupted") << "opened and asked: the handshake was under way";
    EXPECT_EQ(f["step"], "handshake");
    EXPECT_EQ(f["cause"], "ctrl-c");
}

// A handheld unplugged in the middle is not a handheld that refused: said, recorded and
// returned as such.
TEST_F(Flasher, UnpluggedHandheldIsNotARefusal)
{
    ImageFile image(100000);
    ASSERT_TRUE(device.Start(L"--unplug-after-block 9")) << Utf8(device.Error());
    UpgradeLog log;
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 9u) << r.err;
    EXPECT_TRUE(Has(r.err, "romflash: the handheld was unplugged: block 10 (the 11th of 196) did not reach it")) << r.err;
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:10");
    EXPECT_EQ(f["reason"], "unplugged");
    device.Stop();
}

// The objects of romflash --json, as a real JSON parser reads them: one map per line, each
// value with its kind ("n" a number, "s" a string, "b" true or false). Empty when the parser
// refused them (text that is not UTF-8, say).
using JsonObject = std::map<std::string, std::pair<char, std::string>>;
std::vector<JsonObject> ParseJsonLines(const std::string& out)
{
    const std::wstring in = TempPath(L"json-in.txt"), parsed = TempPath(L"json-parsed.txt");
    WriteTextFile(in, out);
    const std::string script =
        "import json, sys\n"
        "out = open(sys.argv[2], 'w', encoding='utf-8')\n"
        "for line in open(sys.argv[1], encoding='utf-8'):\n"
        "    if not line.strip(): continue\n"
        "    for k, v in json.loads(line).items():\n"
        "        kind = 'b' if isinstance(v, bool) else 'n' if isinstance(v, (int, float)) else 's'\n"
        "        out.write(k + '\\t' + kind + '\\t' + str(v) + '\\n')\n"
        "    out.write('\\n')\n";
    std::vector<JsonObject> objects;
    if (!RunUnix({"python3", "-c", script, UnixPath(in), UnixPath(parsed)})) return objects;
    std::istringstream lines(ReadWholeFile(parsed));
    objects.emplace_back();
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            objects.emplace_back();
            continue;
        }
        objects.back()[line.substr(0, tab)] = {line[tab + 1], line.substr(tab + 3)};
    }
    objects.pop_back();
    return objects;
}

// Whether a JSON object says what a record says: the same fields, each with the same value
// (numbers as numbers). *difference, when not, says where they part.
bool SaysWhatTheRecordSays(const JsonObject& object, const std::string& record, std::string* difference)
{
    UpgradeLog::Fields f = UpgradeLog::Parse(record);
    if (object.size() != f.size()) {
        *difference = "other fields";
        return false;
    }
    for (const auto& [key, value] : f) {
        const auto said = object.find(key);
        const bool same = said != object.end() &&
                          (said->second.first == 'n' ? std::stod(said->second.second) == std::stod(value)
                                                     : said->second.second == value);
        if (!same) {
            *difference = key + "=" + value;
            return false;
        }
    }
    return true;
}

// The outcomes among `objects` (neither the summary nor a skipped handheld, which has no
// record) are the records, one for one.
void ExpectObjectsAreTheRecords(std::vector<JsonObject> objects, std::vector<std::string> records)
{
    objects.erase(std::remove_if(objects.begin(), objects.end(),
                                 [](const JsonObject& o) {
                                     return o.count("summary") || (o.count("result") && o.at("result").second == "skipped");
                                 }),
                  objects.end());
    EXPECT_EQ(objects.size(), records.size()) << "one object for every record";
    for (const std::string& record : records) {
        std::string difference;
        const auto object = std::find_if(objects.begin(), objects.end(), [&](const JsonObject& o) {
            return SaysWhatTheRecordSays(o, record, &difference);
        });
        EXPECT_NE(object, objects.end()) << "no object says what this record says: " << record;
        if (object != objects.end()) objects.erase(object);
    }
}

// Ctrl+C in --all while one handheld takes its time and the other is done: each handheld's
// result line, record and JSON object tell the same outcome, field by field, cause included.
TEST_F(Flasher, AllWithJsonTellsEachOutcomeAlikeInTheLineTheRecordAndTheObject)
{
    ImageFile image(100000);
    EmulatedHandheld second;
    ASSERT_TRUE(device.Start(L"--stall-after-block 20")) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    UpgradeLog log;
    robot::ConsoleProgram all;
    ASSERT_TRUE(all.Start(FlasherPath(), L"--all --count 2 --wait 20 --json " + Quoted(image.Path())));
    ASSERT_TRUE(device.WaitForReport("stalls", "1", 20000));
    ASSERT_TRUE(second.WaitForReport("match", "1", 20000));
    ASSERT_TRUE(all.PressCtrlC());
    robot::ConsoleResult r = all.Wait(20000);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    device.Stop();
    second.Stop();

    // The result lines went to standard error, with the progress.
    std::string lines;
    for (size_t at = 0; (at = r.err.find("\\\\?\\", at)) != std::string::npos; at = r.err.find('\n', at))
        lines += r.err.substr(at, r.err.find('\n', at) + 1 - at);
    const std::vector<std::string> records = log.NewRecords();
    ExpectRecordsAgreeWithResults(records, lines, 100000, Sha256Of(image.Path()));
    const auto objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 3u) << "JSON that python3 reads: " << r.out;
    ExpectObjectsAreTheRecords(objects, records);
    const auto& summary = objects.back();
    EXPECT_EQ(summary.at("summary"), std::make_pair('b', std::string("True")));
    EXPECT_EQ(summary.at("exit").second, "5");
    EXPECT_EQ(summary.at("success").second, "1");
    EXPECT_EQ(summary.at("interrupted").second, "1");
    int causes = 0;
    for (const std::string& record : records) causes += UpgradeLog::Parse(record)["cause"] == "ctrl-c";
    EXPECT_EQ(causes, 1) << "the handheld stopped by Ctrl+C says so";
}

TEST_F(Flasher, StallTimeoutClosesTheLinkAndNamesTheBlock)
{
    ImageFile image(20000);
    ASSERT_TRUE(device.Start(L"--stall-after-block 20")) << Utf8(device.Error());  // for good
    UpgradeLog log;
    robot::ConsoleResult r = Flash(L"--stall-timeout 5 --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 7u) << r.err;
    EXPECT_TRUE(Has(r.err, "stopped taking data: block 21 (the 22nd of 40) was not taken within 5 s")) << r.err;
    EXPECT_GE(r.elapsedMs, 5000u);
    EmulatedHandheld::Report rep;
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000, &rep)) << "the link was closed";
    EXPECT_EQ(rep["blocks"], "21");
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["step"], "block:21");
    EXPECT_EQ(f["reason"], "stalled");

    // Without a stall time-out it waits on, until the end of the Windows session stops it.
    robot::ConsoleProgram flasher;
    ASSERT_TRUE(flasher.Start(FlasherPath(), L"--wait 5 " + Quoted(image.Path())));
    ASSERT_TRUE(device.WaitForReport("stalls", "2", 10000));
    HWND session = nullptr;
    ASSERT_TRUE(robot::WaitUntil([&] { return (session = ::FindWindowW(L"romflash session end", nullptr)); }, 5000));
    DWORD_PTR answer = 1;
    ::SendMessageTimeoutW(session, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_EQ(answer, 0u) << "Windows was not asked to wait for the transfer";
    ::SendMessageTimeoutW(session, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
    r = flasher.Wait(10000);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    const std::vector<std::string> records = log.NewRecords();
    ASSERT_EQ(records.size(), 2u);
    f = UpgradeLog::Parse(records[1]);
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["cause"], "logoff");
}

TEST_F(Flasher, MissingImageIsAnImageProblemAndTheHandheldIsNotOpened)
{
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(TempPath(L"no such image.bin")));
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    EXPECT_TRUE(Has(r.err, "Can not find  the image file.")) << r.err;
    EXPECT_LT(r.elapsedMs, 5000u) << "no wait for the handheld";
    EXPECT_EQ(device.Stop()["connections"], "0");
}

TEST_F(Flasher, CheckListAndDeviceChoice)
{
    ImageFile image(1025);
    robot::ConsoleResult r = Flash(L"--check " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out.rfind("bytes=1025 sum=" + std::to_string(image.Sum()) + " blocks=2 sha256=", 0), 0u) << r.out;

    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    r = Flash(L"--list");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    ASSERT_TRUE(r.out.rfind("1  ", 0) == 0 && r.out.size() > 5) << r.out;
    const std::string path = r.out.substr(3, r.out.size() - 5);
    EXPECT_EQ(Lower(path), kDevicePath);

    r = Flash(L"--device 2 --wait 0 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 1u) << "there is no second handheld: " << r.err;
    r = Flash(L"--device " + std::wstring(path.begin(), path.end()) + L" --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["connections"], "1");
    EXPECT_EQ(rep["match"], "1");
}

// The digest of an image whose bytes are (31 i + 7) mod 256, made by another SHA-256 than ours.
TEST_F(Flasher, ExpectedSha256LetsOnlyThatImageThroughAndTheLogAndCheckGiveIt)
{
    const char kDigest[] = "15b5bbecf752ad00e85ff42843b5dce9df388bc38ab97cf06e528727f5937413";
    const std::wstring path = TempPath(L"digest image.bin");
    std::string bytes(1025, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    {
        std::ofstream(path.c_str(), std::ios::binary) << bytes;
    }
    robot::ConsoleResult r = Flash(L"--check " + Quoted(path));
    EXPECT_EQ(r.out, "bytes=1025 sum=130567 blocks=2 sha256=" + std::string(kDigest) + "\r\n");

    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    const std::wstring other = L"15b5bbecf752ad00e85ff42843b5dce9df388bc38ab97cf06e528727f5937414";
    r = Flash(L"--expect-sha256 " + other + L" --wait 5 " + Quoted(path));
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    EXPECT_TRUE(Has(r.err, kDigest) && Has(r.err, Utf8(other))) << "both digests: " << r.err;
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["reason"], "sha256-mismatch");
    EXPECT_EQ(f["sha256"], kDigest);

    UpgradeLog second;
    std::wstring upper;
    for (const char* c = kDigest; *c; ++c) upper += static_cast<wchar_t>(std::toupper(*c));
    r = Flash(L"--expect-sha256 " + upper + L" --wait 5 " + Quoted(path));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["connections"], "1") << "the refused image never opened the handheld";
    EXPECT_EQ(rep["match"], "1");
    ASSERT_NO_FATAL_FAILURE(second.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "success");
    EXPECT_EQ(f["sha256"], kDigest);
    ::DeleteFileW(path.c_str());
}

// Three handhelds at once: the one that refuses a block fails with its code, the others take
// the whole image; then one held by another program is skipped and said to be.
TEST_F(Flasher, AllWritesEveryHandheldAtOnceEachOnItsOwn)
{
    ImageFile image(200000);
    const std::wstring received[2] = {TempPath(L"all-0.bin"), TempPath(L"all-2.bin")};
    EmulatedHandheld second, third;
    ASSERT_TRUE(device.Start(L"--save " + Quoted(received[0]))) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1 --refuse-block 100")) << Utf8(second.Error());
    ASSERT_TRUE(third.Start(L"--instance 2 --save " + Quoted(received[1]))) << Utf8(third.Error());
    UpgradeLog log;
    robot::ConsoleResult r = Flash(L"--all --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 4u) << "the refusal's code: " << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    EXPECT_TRUE(Has(Lower(r.out), "#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=success bytes=200000")) << r.out;
    EXPECT_TRUE(Has(Lower(r.out), "#0002#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=success bytes=200000")) << r.out;
    EXPECT_TRUE(Has(Lower(r.out), "#0001#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=failed code=4 bytes=51200"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "refused block 100")) << r.out;
    EmulatedHandheld::Report rep[3] = {device.Stop(), second.Stop(), third.Stop()};
    EXPECT_TRUE(ReadWholeFile(received[0]) == ReadWholeFile(image.Path())) << "first: not byte for byte";
    EXPECT_TRUE(ReadWholeFile(received[1]) == ReadWholeFile(image.Path())) << "third: not byte for byte";
    ExpectRefusedAtBlock(rep[1], 100);
    std::vector<UpgradeLog::Fields> lines = ResultLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    UpgradeLog::Fields refused;
    for (UpgradeLog::Fields& line : lines)
        if (line["result"] != "success") refused = line;
    EXPECT_EQ(refused["code"], "4");
    EXPECT_EQ(refused["step"], "block:100");
    EXPECT_EQ(refused["reason"], "write-refused");
    EXPECT_EQ(refused["sent"], "100");
    ExpectRecordsAgreeWithResults(log.NewRecords(), r.out, 200000, Sha256Of(image.Path()));

    // The first handheld held by a wizard: skipped as --repeat skips it (no failure, no record
    // of this run's), and the second still written.
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1 --save " + Quoted(received[1]))) << Utf8(second.Error());
    WalkToImagePage();
    UpgradeLog afterWizard;
    r = Flash(L"--all --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_TRUE(Has(Lower(r.out), "#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=skipped (another program is "
                                  "using this handheld: skipped)")) << r.out;
    EXPECT_TRUE(Has(Lower(r.out), "#0001#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=success")) << r.out;
    const std::vector<std::string> written = afterWizard.NewRecords();
    ASSERT_EQ(written.size(), 1u) << "the skipped one is not recorded";
    EXPECT_TRUE(Has(Lower(written[0]), "#0001#{")) << written[0];
    EXPECT_EQ(second.Stop()["match"], "1");
    for (const std::wstring& file : received) ::DeleteFileW(file.c_str());
}

// A production line: flashed once while plugged, again after a replug; two at once; the first
// Ctrl+C lets the transfer in progress finish, the second stops it.
TEST_F(Flasher, RepeatFlashesEachHandheldAsItComesAndCtrlCDrainsThenStops)
{
    ImageFile image(100000);
    UpgradeLog log;
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    EXPECT_TRUE(device.WaitForReport("match", "1", 20000)) << "not flashed";
    ::Sleep(1500);
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["connections"], "1") << "flashed again while it stayed plugged";

    ::Sleep(1000);  // unplugged, then plugged again: flashed again; and a second one with it
    EmulatedHandheld second;
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    EXPECT_TRUE(device.WaitForReport("match", "1", 20000)) << "not flashed after the replug";
    EXPECT_TRUE(second.WaitForReport("match", "1", 20000)) << "the second one was not flashed";
    EXPECT_EQ(device.Stop()["connections"], "1");
    EXPECT_EQ(second.Stop()["connections"], "1");

    // The first Ctrl+C while a handheld takes its time: its transfer still finishes. (Unplugged
    // for a second first: romflash looks for handhelds four times a second.)
    ::Sleep(1000);
    ASSERT_TRUE(device.Start(L"--stall-after-block 20 --stall-ms 3000")) << Utf8(device.Error());
    if (!device.WaitForReport("stalls", "1", 20000)) {
        line.PressCtrlC();
        ::Sleep(300);
        line.PressCtrlC();
        robot::ConsoleResult d = line.Wait(20000);
        FAIL() << "the handheld was not taken; romflash said:\n" << d.out << d.err;
    }
    ASSERT_TRUE(line.PressCtrlC());
    EXPECT_TRUE(device.WaitForReport("match", "1", 20000)) << "the transfer in progress did not finish";
    robot::ConsoleResult r = line.Wait(20000);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << "one line per handheld: " << r.out;
    EXPECT_TRUE(Has(r.err, "done 4, failed 0")) << r.err;
    device.Stop();
    const std::vector<std::string> records = log.NewRecords();
    ExpectRecordsAgreeWithResults(records, r.out, 100000, Sha256Of(image.Path()));
    for (const std::string& record : records) EXPECT_EQ(UpgradeLog::Parse(record)["sent"], "196") << record;

    // And the second Ctrl+C stops it, the link closed.
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(device.Start(L"--stall-after-block 20")) << Utf8(device.Error());
    ASSERT_TRUE(device.WaitForReport("stalls", "1", 20000));
    ASSERT_TRUE(line.PressCtrlC());
    ::Sleep(500);
    ASSERT_TRUE(line.PressCtrlC());
    r = line.Wait(20000);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    EXPECT_TRUE(device.WaitForReport("closed", "1", 5000)) << "the link was not closed";
    device.Stop();
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Waits until the lines have said `results` result lines between them.
bool WaitForResultLines(const std::vector<robot::ConsoleProgram*>& lines, size_t results)
{
    for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < 20000; ::Sleep(50)) {
        size_t said = 0;
        for (const robot::ConsoleProgram* line : lines) said += Count(line->OutputSoFar(), " result=");
        if (said >= results) return true;
    }
    return false;
}

// Two production lines on one PC, handhelds plugged in turn: each plug is written once, by one
// line, and the other says it left it alone; so does a line started while it stays plugged.
TEST_F(Flasher, RepeatLinesOnOnePcWriteEachPlugOnce)
{
    ImageFile image(30000);
    UpgradeLog log;
    robot::ConsoleProgram first, second, third;
    ASSERT_TRUE(first.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(second.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    for (size_t plug = 1; plug <= 4; ++plug) {
        // Plugged as soon as the last one went: its removal is heard before the next arrives.
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        ASSERT_TRUE(WaitForResultLines({&first, &second}, 2 * plug)) << first.OutputSoFar() << second.OutputSoFar();
        if (plug == 4) {
            ASSERT_TRUE(third.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
            ASSERT_TRUE(WaitForResultLines({&third}, 1));
        }
        EmulatedHandheld::Report rep = device.Stop();
        EXPECT_EQ(rep["connections"], "1") << "plug " << plug;
        EXPECT_EQ(rep["blocks"], "59") << "plug " << plug;
    }
    std::string out;
    unsigned long done = 0, skipped = 0;
    for (robot::ConsoleProgram* line : {&first, &second, &third}) {
        ASSERT_TRUE(line->PressCtrlC());
        const robot::ConsoleResult r = line->Wait(20000);
        EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
        out += r.out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"(done (\d+), failed 0, interrupted 0, skipped (\d+)\r\n)"))) << r.err;
        done += std::stoul(m[1]);
        skipped += std::stoul(m[2]);
    }
    EXPECT_EQ(Count(out, " result=success "), 4u) << out;
    // Left alone while the other line writes it ("using"), or after ("took").
    EXPECT_EQ(Count(out, " result=skipped (another "), 5u) << out;
    EXPECT_EQ(Count(out, "\n"), 9u) << "said once a plug: " << out;
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(skipped, 5u);
    EXPECT_EQ(log.NewRecords().size(), 4u) << "a skip is no attempt";
}

// A bench's records in a shared folder (--log-folder), in a file named after the PC. The folder
// goes away after two plugs and comes back two plugs later: meanwhile the records go to the
// local log, said once when it goes and once when it is back; none is lost, none is written
// twice, and each is a record as the local log keeps it.
TEST_F(Flasher, SharedLogFolderThatGoesAwayAndComesBackLosesNoRecord)
{
    ImageFile image(30000);
    const robot::ConsoleResult bad = Flash(L"--log-folder logs " + Quoted(image.Path()));
    EXPECT_EQ(bad.exitCode, 6u);
    EXPECT_TRUE(Has(bad.err, "--log-folder needs a full path to a folder")) << bad.err;

    const std::wstring share = TempPath(L"bench records"), away = TempPath(L"bench records, away");
    wchar_t pc[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(pc, &n));
    const std::wstring pcLog = share + L"\\" + std::wstring(pc, n) + L".log";
    ::DeleteFileW(pcLog.c_str());
    ::RemoveDirectoryW(away.c_str());
    ::CreateDirectoryW(share.c_str(), nullptr);
    UpgradeLog local;
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat --log-folder " + Quoted(share) + L" " + Quoted(image.Path())));
    for (size_t plug = 1; plug <= 6; ++plug) {
        if (plug == 3) {
            ASSERT_TRUE(::MoveFileW(share.c_str(), away.c_str())) << "the folder could not be taken away";
        }
        if (plug == 5) {
            ASSERT_TRUE(::MoveFileW(away.c_str(), share.c_str())) << "the folder could not be brought back";
        }
        ASSERT_TRUE(device.Start()) << Utf8(device.Error());
        ASSERT_TRUE(WaitForResultLines({&line}, plug)) << line.OutputSoFar();
        EXPECT_EQ(device.Stop()["match"], "1") << "plug " << plug;
    }
    ASSERT_TRUE(line.PressCtrlC());
    const robot::ConsoleResult r = line.Wait(20000);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_TRUE(Has(r.err, "done 6, failed 0")) << r.err;
    EXPECT_EQ(Count(r.err, "romflash: the log folder " + Utf8(share) + " cannot be reached"), 1u) << r.err;
    EXPECT_EQ(Count(r.err, "the records go to " + Utf8(UpgradeLog::Path()) + " until it can"), 1u) << r.err;
    EXPECT_EQ(Count(r.err, "can be reached again: the records go to " + Utf8(pcLog) + " again"), 1u) << r.err;

    const std::vector<std::string> here = local.NewRecords();
    std::vector<std::string> there;
    const std::string text = ReadWholeFile(pcLog);
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        there.push_back(text.substr(at, end - at));
    EXPECT_EQ(there.size(), 4u) << "plugs 1, 2, 5 and 6 in the shared folder:\n" << text;
    EXPECT_EQ(here.size(), 2u) << "plugs 3 and 4 in the local log";
    std::vector<std::string> all = there;
    all.insert(all.end(), here.begin(), here.end());
    ExpectRecordsAgreeWithResults(all, r.out, 30000, Sha256Of(image.Path()));
    ::DeleteFileW(pcLog.c_str());
    ::RemoveDirectoryW(share.c_str());
}

// A handheld that fails and resets itself, back within a tenth of a second: Windows said it
// was removed, so it is a new plug and written again, although no look saw it gone.
TEST_F(Flasher, RepeatWritesAgainAHandheldThatResetItselfAfterAFailure)
{
    ImageFile image(30000);
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(device.Start(L"--refuse-block 3 --quick-reset 0")) << Utf8(device.Error());
    EXPECT_TRUE(device.WaitForReport("match", "1", 20000)) << "not written after its reset: " << line.OutputSoFar();
    EXPECT_TRUE(WaitForResultLines({&line}, 2));
    ASSERT_TRUE(line.PressCtrlC());
    const robot::ConsoleResult r = line.Wait(20000);
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["resets"], "1");
    EXPECT_EQ(rep["connections"], "2");
    std::vector<UpgradeLog::Fields> said = ResultLines(r.out);
    ASSERT_EQ(said.size(), 2u) << r.out;
    EXPECT_EQ(said[0]["result"], "failed") << r.out;
    EXPECT_EQ(said[1]["result"], "success") << r.out;
    EXPECT_TRUE(Has(r.err, "done 1, failed 1, interrupted 0, skipped 0\r\n")) << r.err;
}

TEST_F(Flasher, LogPastOneMebibyteMovesAsideKeepingOneOldCopy)
{
    const std::wstring logPath = UpgradeLog::Path();
    ::CreateDirectoryW(UpgradeLog::Folder().c_str(), nullptr);
    const std::string line = "an older record, long enough to fill the log in few lines.......\r\n";
    std::string full;
    while (full.size() + line.size() <= (1u << 20)) full += line;
    if (FILE* f = _wfopen(logPath.c_str(), L"wb")) {
        std::fwrite(full.data(), 1, full.size(), f);
        std::fclose(f);
    }
    robot::ConsoleResult r = Flash(L"--wait 0 " + Quoted(TempPath(L"no such image.bin")));
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    EXPECT_TRUE(ReadWholeFile(logPath + L".1") == full) << "the full log is the old copy";
    const std::string fresh = ReadWholeFile(logPath);
    ASSERT_TRUE(fresh.size() > 2 && fresh.find("\r\n") == fresh.size() - 2) << fresh;
    UpgradeLog::Fields f = UpgradeLog::Parse(fresh.substr(0, fresh.size() - 2));
    EXPECT_EQ(f["program"], "romflash");
    EXPECT_EQ(f["step"], "image");
    EXPECT_EQ(f["reason"], "image-not-opened");
    EXPECT_EQ(f["error"], "2");
}

// --all starts once the hub has settled: a handheld that appears a second after the first is
// flashed too. --count makes the fixture's size explicit: fewer at the end of the wait, none
// is flashed.
TEST_F(Flasher, AllWaitsForTheHubToSettleAndCountNamesTheFixtureSize)
{
    ImageFile image(50000);
    EmulatedHandheld second;
    robot::ConsoleProgram all;
    ASSERT_TRUE(all.Start(FlasherPath(), L"--all --wait 20 --settle 4 " + Quoted(image.Path())));
    ASSERT_TRUE(robot::WaitUntil([&] { return Has(all.ErrorSoFar(), "waiting up to 20 s for handhelds"); }, 20000))
        << all.ErrorSoFar();
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ::Sleep(1000);
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    robot::ConsoleResult r = all.Wait(30000);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    EXPECT_EQ(ResultLines(r.out).size(), 2u) << r.out;
    EXPECT_EQ(device.Stop()["match"], "1");
    EXPECT_EQ(second.Stop()["match"], "1") << "the later handheld was not flashed";

    // The only handheld leaves while the hub settles: the wait still ends, none is flashed.
    ASSERT_TRUE(all.Start(FlasherPath(), L"--all --wait 3 --settle 3 " + Quoted(image.Path())));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(robot::WaitUntil([&] { return Has(all.ErrorSoFar(), "a handheld appeared"); }, 20000))
        << all.ErrorSoFar();
    device.Stop();
    r = all.Wait(30000);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_TRUE(Has(r.err, "the handhelds seen were gone when the hub settled; none was flashed")) << r.err;

    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    r = Flash(L"--all --count 3 --wait 2 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_TRUE(Has(r.err, "romflash: 2 of the 3 handhelds were present within 2 s; none was flashed\r\n")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(device.Stop()["connections"], "0");
    EXPECT_EQ(second.Stop()["connections"], "0");
}

// What the publisher's files beside the image vouch for, checked in every mode before any
// handheld is opened: a refusal sends nothing (exit 3), and --require-signature takes only a
// signed image.
TEST_F(Flasher, PublishersChecksumAndSignatureAreCheckedBeforeAnyHandheldIsOpened)
{
    const std::wstring path = TempPath(L"published.bin");
    WriteSampleImage(path, 30000, 11);
    const Publisher maker("Example Handhelds ROM Signing", true), stranger("Somebody Else", false),
        other("Other Trusted Maker", true);
    // hex FILE: its digest; u16: UTF-16LE with a BOM, as PowerShell 5's '>' writes.
    const std::string dir = "cd '" + UnixPath(TempPath(L"")) +
                            "' && hex() { sha256sum \"$1\" | cut -c1-64; }; "
                            "u16() { printf '\\377\\376'; iconv -t UTF-16LE; }; ";
    const std::string certutil = "printf 'SHA256 hash of %s:\\r\\n%s\\r\\nCertUtil: -hashfile command completed "
                                 "successfully.\\r\\n' ";
    if (!maker.Ready() || !stranger.Ready() || !other.Ready()) GTEST_SKIP() << "no openssl beneath";
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    const std::string makerPrint = maker.Thumbprint("signer.sha256");
    auto pin = [&](const char* which) {
        const std::string print = maker.Thumbprint(which);
        return L"--signer \"" + std::wstring(print.begin(), print.end()) + L"\" ";
    };
    const std::wstring pinMaker = pin("signer.sha1"), pinRoot = pin("root.sha256");
    const std::string refused = "(the signer is not trusted: ";
    const struct {
        std::string command;  // run in the temporary folder first, or a signer and openssl's options
        std::wstring options;
        DWORD code;
        std::string says;  // on standard error
        const char* reason;
        const char* checked;
        std::string signer;  // in the record, if given
    } cases[] = {
        {"sha256sum published.bin > published.bin.sha256", L"", 0, "SHA-256 matches", "", "sha256-file"},
        {"printf '%064d *published.bin\\n' 0 > published.bin.sha256", L"", 3, "published.bin.sha256 gives 0000",
         "sha256-mismatch", "none"},
        {"echo '[checksums]' > published.bin.sha256", L"", 3, "could not be used (line 1 is not",
         "sha256-unreadable", "none"},
        {certutil + "'file published.bin' \"$(hex published.bin | sed 's/../& /g')\" > published.bin.sha256", L"", 0,
         "SHA-256 matches", "", "sha256-file"},
        {certutil + "'file published.bin' \"$(hex /dev/null | sed 's/../& /g')\" > published.bin.sha256", L"", 3,
         "published.bin.sha256 gives e3b0c442", "sha256-mismatch", "none"},
        {certutil + "'C:\\roms\\PUBLISHED.BIN' $(hex published.bin) | u16 > published.bin.sha256", L"", 0,
         "SHA-256 matches", "", "sha256-file"},
        {certutil + "PUBLISHED.BIN $(hex /dev/null) | u16 > published.bin.sha256", L"", 3,
         "published.bin.sha256 gives e3b0c442", "sha256-mismatch", "none"},
        {certutil + "other.bin $(hex published.bin) > published.bin.sha256", L"", 3,
         "(certutil's first line names other.bin, not published.bin)", "sha256-unreadable", "none"},
        {"printf '%s\\r\\n' $(hex published.bin | tr a-f A-F) | u16 > published.bin.sha256", L"", 0, "SHA-256 matches",
         "", "sha256-file"},
        {"printf '%s\\r\\n' $(hex /dev/null) | u16 > published.bin.sha256", L"", 3,
         "published.bin.sha256 gives e3b0c442", "sha256-mismatch", "none"},
        {"rm published.bin.sha256 && ln -s published.bin '.\\published.bin' && sha256sum '.\\published.bin' "
         "> SHA256SUMS && rm '.\\published.bin' && grep -q '^\\\\' SHA256SUMS",
         L"", 0, "SHA-256 matches", "", "sha256-file"},
        {"printf '\\\\%s  .\\\\\\\\published.bin\\n' $(hex /dev/null) > SHA256SUMS", L"", 3,
         "SHA256SUMS gives e3b0c442", "sha256-mismatch", "none"},
        {"rm SHA256SUMS", L"--require-signature ", 3, "no signature", "signature-missing", "none"},
        {"sign", L"--all --count 1 --require-signature " + pinMaker, 0,
         "signed by Example Handhelds ROM Signing, thumbprint " + makerPrint, "", "signature", makerPrint},
        {"sign -keyid -md sha512", pinRoot, 0, "signed by Example Handhelds ROM Signing", "", "signature", makerPrint},
        {"sign -keyopt rsa_padding_mode:pss -md sha384", L"", 0, "signed by Example", "", "signature", makerPrint},
        {"printf '\\001' | dd of=published.bin bs=1 seek=20000 conv=notrunc 2>/dev/null", L"", 3,
         "(it was made for other bytes than this image's)", "signature-invalid", "none", makerPrint},
        {"other", pinMaker + pinRoot, 3, "Other Trusted Maker (thumbprint " + other.Thumbprint("signer.sha256") +
         "), whom this PC is not told to trust", "signer-not-trusted", "none", other.Thumbprint("signer.sha256")},
        {"stranger", L"", 3, refused + "its chain reaches no root this PC trusts", "signature-invalid", "none", ""},
        {"partial", L"", 3, refused + "its chain reaches no root this PC trusts (it ends at Somebody Else)",
         "signature-invalid", "none", ""},
        {"under-signer", L"", 3, "was issued by Example Handhelds ROM Signing, which is not a certification authority",
         "signature-invalid", "none", ""},
        {"under-server", L"", 3, refused + "Server CA is limited to uses other than code signing", "signature-invalid",
         "none", ""},
        {"sign -econtent_type 1.3.6.1.4.1.311.2.1.4", L"", 3, "not plain data but content of type 1.3.6.1.4.1.311.2.1.4",
         "signature-invalid", "none", ""},
        {"sign -econtent_type 1.2.840.113549.1.9.16.1.4", L"", 3, "of type 1.2.840.113549.1.9.16.1.4",
         "signature-invalid", "none", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string who = c.command.substr(0, c.command.find(' '));
        const std::string options = who == c.command ? "" : c.command.substr(who.size() + 1);
        if (who == "sign" || who == "under-signer" || who == "under-server")
            ASSERT_TRUE(maker.Sign(path, who == "sign" ? "signer" : who, options));
        else if (who == "other" || who == "stranger" || who == "partial")
            ASSERT_TRUE((who == "other" ? other : stranger).Sign(path, "signer", "", who != "partial"));
        else
            ASSERT_TRUE(RunUnix({"/bin/sh", "-c", dir + c.command}));
        UpgradeLog log;
        robot::ConsoleResult r = Flash(c.options + L"--wait 10 " + Quoted(path));
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["result"], c.code == 0 ? "success" : "failed");
        EXPECT_EQ(f["reason"], c.reason);
        EXPECT_EQ(f["checked"], c.checked);
        if (!c.signer.empty()) {
            EXPECT_EQ(f["signer"], c.signer);
        }
    }
    EXPECT_EQ(device.Stop()["connections"], "8") << "a refused image never opened the handheld";
    for (const std::wstring& file : {path, path + L".p7s"}) ::DeleteFileW(file.c_str());
}

// Another file of the same length, byte sum and unkeyed piece checks (FNV-1a over the 64-bit
// words of each 64 KiB piece, as a fixed check would make them): the word at `at` takes its
// bytes in another order, and the word after it is chosen to bring the piece's running check
// back, among the orders whose chosen word keeps the byte sum too.
std::string CraftedToKeepSums(std::string bytes, size_t at)
{
    constexpr uint64_t kPrime = 0x100000001B3ull;
    auto word = [&](size_t i) {
        uint64_t w;
        std::memcpy(&w, &bytes[i], 8);
        return w;
    };
    auto byteSum = [](uint64_t w) {
        int sum = 0;
        for (int i = 0; i < 8; ++i) sum += (w >> (8 * i)) & 0xFF;
        return sum;
    };
    uint64_t before = 0xCBF29CE484222325ull;  // the check up to the word at `at`
    for (size_t i = at - at % 65536; i < at; i += 8) before = (before ^ word(i)) * kPrime;
    const uint64_t original = word(at), next = word(at + 8);
    unsigned char order[8];
    std::memcpy(order, &original, 8);
    std::sort(order, order + 8);
    do {
        uint64_t w;
        std::memcpy(&w, order, 8);
        const uint64_t fix = ((before ^ w) * kPrime) ^ ((before ^ original) * kPrime) ^ next;
        if (w != original && byteSum(fix) == byteSum(next)) {
            std::memcpy(&bytes[at], &w, 8);
            std::memcpy(&bytes[at + 8], &fix, 8);
            return bytes;
        }
    } while (std::next_permutation(order, order + 8));
    ADD_FAILURE() << "no order of the word at " << at << " keeps the sums";
    return bytes;
}

// The image's path leads to another file after it was read (the link retargeted): every
// handheld still gets the bytes that were read. Its bytes changed in place all the same (by
// a Unix program, past Windows' sharing rules), crafted to keep the length, the byte sum and
// every unkeyed piece check: the transfer stops before the first block of the piece that
// differs, and the record says so.
TEST_F(Flasher, ImageChangedAfterItWasReadIsNeverSent)
{
    const std::wstring staged = TempPath(L"staged.bin"), other = TempPath(L"other.bin"), link = TempPath(L"image.bin");
    const std::wstring received[2] = {TempPath(L"got-0.bin"), TempPath(L"got-1.bin")};
    WriteSampleImage(staged, 300000, 5);
    const std::string bytes = CraftedToKeepSums(ReadWholeFile(staged), 150000);
    {
        std::ofstream(other.c_str(), std::ios::binary) << bytes;
    }
    if (!RunUnix({"/bin/ln", "-sfn", UnixPath(staged), UnixPath(link)})) GTEST_SKIP() << "no Unix beneath";
    const std::string digest = Sha256Of(staged);

    UpgradeLog log;
    robot::ConsoleProgram all;
    ASSERT_TRUE(all.Start(FlasherPath(), L"--all --count 2 --wait 20 " + Quoted(link)));
    ASSERT_TRUE(robot::WaitUntil([&] { return Has(all.ErrorSoFar(), "waiting up to"); }, 20000)) << all.ErrorSoFar();
    ASSERT_TRUE(RunUnix({"/bin/ln", "-sfn", UnixPath(other), UnixPath(link)}));
    EmulatedHandheld second;
    ASSERT_TRUE(device.Start(L"--save " + Quoted(received[0]))) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1 --save " + Quoted(received[1]))) << Utf8(second.Error());
    robot::ConsoleResult r = all.Wait(30000);
    EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
    device.Stop();
    second.Stop();
    for (const std::wstring& got : received)
        EXPECT_TRUE(ReadWholeFile(got) == ReadWholeFile(staged)) << "not the bytes that were read: " << Utf8(got);
    ExpectRecordsAgreeWithResults(log.NewRecords(), r.out, 300000, digest);

    // The bytes of the file read change under romflash: piece 2 (from byte 131072) differs.
    ASSERT_TRUE(RunUnix({"/bin/ln", "-sfn", UnixPath(staged), UnixPath(link)}));
    UpgradeLog afterLog;
    robot::ConsoleProgram one;
    ASSERT_TRUE(one.Start(FlasherPath(), L"--wait 20 " + Quoted(link)));
    ASSERT_TRUE(robot::WaitUntil([&] { return Has(one.ErrorSoFar(), "waiting up to"); }, 20000)) << one.ErrorSoFar();
    ASSERT_TRUE(RunUnix({"/bin/cp", UnixPath(other), UnixPath(staged)}));  // in place: the same inode
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    r = one.Wait(30000);
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    EXPECT_TRUE(Has(r.err, "the file changed after it was checked; found before block 256 ")) << r.err;
    EXPECT_TRUE(Has(r.err, "went out, and nothing more was written")) << r.err;
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["blocks"], "256") << "the blocks of the pieces before the change, and none after";
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(afterLog.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "block:256");
    EXPECT_EQ(f["reason"], "image-changed");
    EXPECT_EQ(f["sha256"], digest);
    for (const std::wstring& file : {staged, other, link, received[0], received[1]}) ::DeleteFileW(file.c_str());
}

// Ctrl+C while a large image is read: romflash ends at once, opens no handheld and records the
// interruption.
TEST_F(Flasher, CtrlCWhileTheImageIsReadStopsAtOnce)
{
    const std::wstring path = TempPath(L"large image.bin");
    {
        UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER size;
        size.QuadPart = 0xF0000000;  // 3.75 GiB, sparse: read at any speed, it takes seconds
        ASSERT_TRUE(::SetFilePointerEx(f.get(), size, nullptr, FILE_BEGIN) && ::SetEndOfFile(f.get()));
    }
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    robot::ConsoleProgram flasher;
    ASSERT_TRUE(flasher.Start(FlasherPath(), L"--wait 5 " + Quoted(path)));
    // Being read: it is open, and writers are kept out.
    ASSERT_TRUE(robot::WaitUntil([&] {
        UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        return !writer.valid();
    }, 20000));
    const DWORD pressed = ::GetTickCount();
    ASSERT_TRUE(flasher.PressCtrlC());
    robot::ConsoleResult r = flasher.Wait(20000);
    EXPECT_EQ(r.exitCode, 5u) << r.err;
    EXPECT_LT(::GetTickCount() - pressed, 1500u) << "Ctrl+C did not stop the reading at once";
    EXPECT_TRUE(Has(r.err, "romflash: interrupted while the image was read; nothing was sent\r\n")) << r.err;
    EXPECT_EQ(device.Stop()["connections"], "0");
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["result"], "interrupted");
    EXPECT_EQ(f["step"], "image");
    EXPECT_EQ(f["cause"], "ctrl-c");
    ::DeleteFileW(path.c_str());
}

// A log that cannot be written is said once per run, and the upgrade goes on as ever. (Held
// open by another program that shares it with no writer; a read-only file would do on Windows,
// but not under Wine for root, whom the file's mode does not stop.)
TEST_F(Flasher, LogThatCannotBeWrittenIsSaidOnceAndChangesNothingElse)
{
    const std::wstring logPath = UpgradeLog::Path();
    ::CreateDirectoryW(UpgradeLog::Folder().c_str(), nullptr);
    const std::string before = ReadWholeFile(logPath);
    ImageFile image(20000);
    EmulatedHandheld second;
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    robot::ConsoleResult r;
    {
        UniqueHandle holder(::CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
        ASSERT_TRUE(holder.valid());
        r = Flash(L"--all --count 2 --wait 10 " + Quoted(image.Path()));
    }
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(ReadWholeFile(logPath), before) << "the held log was written";
    const std::string said = "romflash: the upgrade log could not be written: ";
    EXPECT_TRUE(Has(r.err, said)) << r.err;
    EXPECT_EQ(r.err.find(said), r.err.rfind(said)) << "said more than once: " << r.err;
    EXPECT_EQ(device.Stop()["match"], "1");
    EXPECT_EQ(second.Stop()["match"], "1");
}

// A production line beside a program that holds one handheld: that one is skipped, said once,
// and is neither a failure nor a record of this line's.
TEST_F(Flasher, RepeatSkipsAHandheldAnotherProgramHolds)
{
    ImageFile image(30000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();  // the wizard holds the first handheld
    UpgradeLog log;
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    EmulatedHandheld second;
    ASSERT_TRUE(second.Start(L"--instance 1")) << Utf8(second.Error());
    EXPECT_TRUE(second.WaitForReport("match", "1", 20000)) << "the free handheld was not flashed";
    ::Sleep(1500);  // six looks at the held one
    ASSERT_TRUE(line.PressCtrlC());
    robot::ConsoleResult r = line.Wait(20000);
    EXPECT_EQ(r.exitCode, 0u) << "a held handheld is no failure: " << r.out << r.err;
    const std::vector<UpgradeLog::Fields> lines = ResultLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << "said once: " << r.out;
    EXPECT_TRUE(Has(r.out, "#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835} result=skipped (another program is using"))
        << r.out;
    EXPECT_TRUE(Has(r.err, "done 1, failed 0, interrupted 0, skipped 1\r\n")) << r.err;
    const std::vector<std::string> records = log.NewRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(Has(Lower(records[0]), "#0001#{")) << records[0];
    EXPECT_EQ(device.ReadReport()["connections"], "1") << "only the wizard opened the held one";
    second.Stop();
}

// A handheld a --repeat line wrote stays written for the wizard too until it is plugged in
// again: the device check says so and goes to the not-ready page, and nothing is sent.
TEST_F(Flasher, WizardLeavesAloneAHandheldALineWroteInThisPlug)
{
    ImageFile image(30000);
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(device.WaitForReport("match", "1", 20000)) << "not flashed";
    WalkToDeviceCheck();
    std::wstring text;
    ASSERT_TRUE(wizard.WaitForMessageBox(&text, 20000)) << "no box; see " << Visible();
    EXPECT_EQ(text.rfind(L"Another upgrade has already taken this handheld since it was plugged in", 0), 0u) << Utf8(text);
    ASSERT_TRUE(wizard.AnswerMessageBox());
    ExpectPage(Page::Select);  // plugged in anew, it can be checked again from here
    EXPECT_EQ(device.ReadReport()["header_writes"], "2") << "the wizard sent nothing";
    // Plugged in anew: the check, run again from this page, takes it.
    ASSERT_TRUE(line.PressCtrlC());
    line.Wait(20000);
    device.Stop();
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    ASSERT_TRUE(wizard.Press(IDOK));
    ASSERT_TRUE(wizard.WaitForPage(Page::Image, 15000)) << "see " << Visible();
    ASSERT_TRUE(wizard.Press(IDCANCEL));
    ExpectRunEnds();
}

// Paths in any letters are carried exactly, as UTF-8: the handheld's in --list, and both the
// image's and the handheld's in the JSON and the record. A bad command line with --json still
// ends with the summary, its exit code in it.
TEST_F(Flasher, PathsInAnyLettersAreCarriedExactly)
{
    const std::wstring reference = L"μονάδα-ハンド-ü";
    const std::string devicePath = std::string(kDevicePath) + "\\" + Utf8(reference);
    ImageFile image(3000, L"εικόνα ベンチ.bin");
    ASSERT_TRUE(device.Start(L"--reference " + reference)) << Utf8(device.Error());
    robot::ConsoleResult r = Flash(L"--list");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(Lower(r.out), "1  " + devicePath + "\r\n");

    UpgradeLog log;
    r = Flash(L"--json --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_TRUE(Has(r.out, Utf8(L"\\\\εικόνα ベンチ.bin\""))) << "the image's name as UTF-8: " << r.out;
    const std::vector<JsonObject> objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 2u) << "JSON that python3 reads: " << r.out;
    EXPECT_EQ(objects[0].at("image").second, Utf8(image.Path()));
    EXPECT_EQ(Lower(objects[0].at("device").second), devicePath);
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["image"], Utf8(image.Path()));
    EXPECT_EQ(Lower(f["device"]), devicePath);
    EXPECT_EQ(f["result"], "success");
    EXPECT_EQ(device.Stop()["match"], "1");

    for (const wchar_t* bad : {L"--json --wait soon image.bin", L"--repeat --frobnicate --json image.bin"}) {
        r = Flash(bad);
        EXPECT_EQ(r.exitCode, 6u) << Utf8(bad);
        EXPECT_EQ(r.out, "{\"summary\":true,\"success\":0,\"failed\":0,\"interrupted\":0,\"skipped\":0,\"exit\":6}\r\n")
            << Utf8(bad);
    }
}

// A busy service bench: three --repeat lines and --all runs side by side, ten handhelds
// plugged and unplugged in a random order (one of them plugged from first to last). Each plug
// is written whole exactly once, by one program, before it is unplugged; none is left
// unwritten; and what every line said in JSON is what the log recorded.
TEST_F(Flasher, BusyBenchWritesEveryPlugExactlyOnce)
{
    constexpr int kPlugs = 150;
    constexpr uint64_t kSize = 20000;
    const std::string writes = std::to_string(kSize / 512 + 1);
    ImageFile image(kSize, L"ベンチ εικόνα.bin");
    UpgradeLog log;
    const std::wstring line = L"--repeat --json " + Quoted(image.Path());
    robot::ConsoleProgram lines[3];
    for (robot::ConsoleProgram& l : lines) ASSERT_TRUE(l.Start(FlasherPath(), line));
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());  // instance 0, plugged throughout
    ASSERT_TRUE(device.WaitForReport("match", "1", 30000)) << "the first handheld was not written";

    EmulatedHandheld others[10];  // instances 1 to 9
    std::mt19937 random(20261209);
    robot::ConsoleProgram all;
    bool allRunning = false;
    std::string allOut;
    int plugs = 0, unplugged = 0, allRuns = 0;
    auto collectAll = [&] {
        const robot::ConsoleResult a = all.Wait(60000);
        EXPECT_TRUE(a.exitCode == 0 || a.exitCode == 1) << "--all: " << a.out << a.err;
        allOut += a.out;
        allRunning = false;
    };
    while (unplugged < kPlugs) {
        EmulatedHandheld& handheld = others[1 + random() % 9];
        const int instance = static_cast<int>(&handheld - others);
        if (!handheld.Running()) {
            if (plugs == kPlugs) continue;
            ASSERT_TRUE(handheld.Start(L"--instance " + std::to_wstring(instance))) << Utf8(handheld.Error());
            ++plugs;
        } else {
            EmulatedHandheld::Report rep;
            EXPECT_TRUE(handheld.WaitForReport("match", "1", 30000, &rep)) << "plug left unwritten, instance " << instance;
            rep = handheld.Stop();
            EXPECT_EQ(rep["connections"], "1") << "instance " << instance << ", plug " << plugs;
            EXPECT_EQ(rep["blocks"], writes) << "instance " << instance << ", plug " << plugs;
            ++unplugged;
        }
        // Now and then an --all, racing the lines for whatever was plugged last.
        if (allRunning && all.Ended()) collectAll();
        if (!allRunning && plugs % 20 == 10) {
            ASSERT_TRUE(all.Start(FlasherPath(), L"--all --count 1 --wait 10 --json " + Quoted(image.Path())));
            allRunning = true;
            ++allRuns;
        }
    }
    if (allRunning) collectAll();
    EmulatedHandheld::Report first = device.Stop();
    EXPECT_EQ(first["connections"], "1") << "the handheld plugged throughout was written again";
    EXPECT_EQ(first["match"], "1");

    std::vector<JsonObject> objects = ParseJsonLines(allOut);
    size_t success = 0;
    for (robot::ConsoleProgram& l : lines) {
        ASSERT_TRUE(l.PressCtrlC());
        const robot::ConsoleResult r = l.Wait(30000);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        const std::vector<JsonObject> said = ParseJsonLines(r.out);
        ASSERT_FALSE(said.empty()) << "JSON that python3 reads: " << r.out;
        EXPECT_EQ(said.back().at("exit").second, "0");
        objects.insert(objects.end(), said.begin(), said.end());
    }
    for (const JsonObject& o : objects) {
        if (!o.count("result") || o.at("result").second != "success") continue;
        ++success;
        EXPECT_EQ(o.at("image").second, Utf8(image.Path()));
    }
    EXPECT_EQ(success, static_cast<size_t>(kPlugs + 1)) << "one success a plug";
    ExpectObjectsAreTheRecords(objects, log.NewRecords());
    std::printf("busy bench: %d plugs besides the one plugged throughout, %d --all runs, %zu successes\n", kPlugs,
                allRuns, success);
}

// A kernel object made first, by a program of someone else, under a name the programs keep
// for a handheld; gone with the object.
class Squatter {
public:
    Squatter(bool mutex, const std::wstring& name, const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return;
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
        m_object.reset(mutex ? ::CreateMutexW(&attributes, FALSE, name.c_str())
                             : ::CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
        m_made = m_object && ::GetLastError() != ERROR_ALREADY_EXISTS;
        ::LocalFree(descriptor);
    }
    bool Made() const { return m_made; }

private:
    UniqueHandle m_object;
    bool m_made = false;
};

constexpr wchar_t kFoldedPath[] = L"##?#root#upgrade#0000#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";
// Nobody may open it (an empty DACL); and: anybody may, but another user owns it.
constexpr wchar_t kDeniesAll[] = L"D:P";
constexpr wchar_t kOwnedByAnother[] = L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)";

// A name that is not ours is never a silent skip, nor "in use": a --repeat line says so and
// ends with its own code, a single run does not open the handheld, and the wizard says so in
// its box; each records why.
TEST_F(Flasher, NamesThatAreNotOursEndTheRunWithTheirOwnCode)
{
    ImageFile image(20000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    UpgradeLog log;
    {
        const Squatter plug(false, std::wstring(L"Global\\ROM Upgrade Wizard plug ") + kFoldedPath, kDeniesAll);
        ASSERT_TRUE(plug.Made());
        robot::ConsoleProgram repeat;
        ASSERT_TRUE(repeat.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
        const robot::ConsoleResult r = repeat.Wait(30000);
        ASSERT_TRUE(r.ended) << "the line did not end: " << r.out << r.err;
        EXPECT_EQ(r.exitCode, 10u) << r.err;
        EXPECT_TRUE(Has(Lower(r.out), std::string(kDevicePath) + " result=failed code=10 bytes=0 ")) << r.out;
        EXPECT_TRUE(Has(r.out, "step=handshake reason=not-ours error=5 (a name romflash keeps for this handheld is "
                               "another user's program's, or cannot be checked (Windows error 5"))
            << r.out;
        EXPECT_TRUE(Has(r.err, "taking no new handhelds, and ending with exit code 10")) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["handshake"], "not-ours");
        EXPECT_EQ(f["result"], "failed");
        EXPECT_EQ(f["reason"], "not-ours");
        EXPECT_EQ(f["error"], "5");
    }
    {
        const Squatter lock(true, std::wstring(L"Global\\ROM Upgrade Wizard link ") + kFoldedPath, kOwnedByAnother);
        ASSERT_TRUE(lock.Made());
        UpgradeLog single;
        robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
        EXPECT_EQ(r.exitCode, 10u) << r.err;
        EXPECT_TRUE(Has(r.err, "romflash: a name romflash keeps for this handheld is another user's program's, or "
                               "cannot be checked (Windows error 1307"))
            << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(single.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["reason"], "not-ours");
        EXPECT_EQ(f["error"], "1307");

        UpgradeLog wizardLog;
        WalkToDeviceCheck();
        std::wstring text;
        ASSERT_TRUE(wizard.WaitForMessageBox(&text, 20000)) << "no box; see " << Visible();
        EXPECT_EQ(text.rfind(L"This handheld cannot be written safely", 0), 0u) << Utf8(text);
        ASSERT_TRUE(wizard.AnswerMessageBox());
        ExpectPage(Page::NotReady);
        ASSERT_NO_FATAL_FAILURE(wizardLog.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["program"], "RomUpgradeWizard");
        EXPECT_EQ(f["reason"], "not-ours");
    }
    EXPECT_EQ(device.Stop()["connections"], "0") << "nobody opened the handheld";
}

// A record the disk had room for only in part is taken back: the log keeps whole records only,
// the next one starts on a line of its own, and romflash says once that it could not write it.
// (A file size limit set beneath Wine stands for the full disk: the write goes out in part.)
TEST_F(Flasher, RecordCutShortByAFullDiskIsTakenBack)
{
    const std::wstring logPath = UpgradeLog::Path();
    ::CreateDirectoryW(UpgradeLog::Folder().c_str(), nullptr);
    const std::string before = ReadWholeFile(logPath) + "an older record, whole\r\n";
    ASSERT_TRUE(WriteTextFile(logPath, before));
    const std::wstring err = TempPath(L"cut-err.txt"), code = TempPath(L"cut-code.txt");
    const std::string flasher = FlasherPath()[0] == L'/' ? Utf8(FlasherPath()) : UnixPath(FlasherPath());
    ASSERT_TRUE(RunUnix({"/bin/sh", "-c",
                         "trap '' XFSZ; prlimit --fsize=" + std::to_string(before.size() + 40) + " wine '" + flasher +
                             "' --wait 0 'C:\\no such image.bin' >/dev/null 2>'" + UnixPath(err) + "'; echo $? >'" +
                             UnixPath(code) + "'"}));
    EXPECT_EQ(ReadWholeFile(code), "3\n") << "the image's exit code, whatever became of its record";
    const std::string after = ReadWholeFile(logPath);
    EXPECT_TRUE(after == before) << "the part that went out was not taken back: "
                                 << (after.size() > before.size() ? after.substr(before.size()) : after);
    const std::string said = ReadWholeFile(err);
    const std::string cannot = "romflash: the upgrade log could not be written: ";
    EXPECT_TRUE(Has(said, cannot)) << said;
    EXPECT_EQ(said.find(cannot), said.rfind(cannot)) << "said more than once: " << said;

    UpgradeLog log;
    const robot::ConsoleResult r = Flash(L"--wait 0 " + Quoted(TempPath(L"no such image.bin")));
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["program"], "romflash") << "the next record is whole, on a line of its own";
    EXPECT_EQ(f["reason"], "image-not-opened");
    ::DeleteFileW(err.c_str());
    ::DeleteFileW(code.c_str());
}

// The crafted signature files of the engine suite, each once through romflash: refused for
// what it is, with its record, and never a crash.
TEST_F(Flasher, CraftedSignatureFilesAreRefusedAndNeverCrashRomflash)
{
    const char kMaker[] = "Example Handhelds ROM Signing";
    const Publisher maker(kMaker, true);
    if (!maker.Ready()) GTEST_SKIP() << "no openssl beneath";
    ImageFile image(30000, L"crafted.bin");
    const std::wstring p7s = image.Path() + L".p7s";
    ASSERT_TRUE(maker.Sign(image.Path()));
    const std::string plain = ReadWholeFile(p7s);
    ASSERT_TRUE(maker.Sign(image.Path(), "signer", "-keyid"));
    const std::vector<CraftedSignature> corpus = CraftSignatures(plain, ReadWholeFile(p7s), kMaker);
    ASSERT_GE(corpus.size(), 12u);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    for (const CraftedSignature& c : corpus) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteTextFile(p7s, c.bytes));
        UpgradeLog log;
        const robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
        EXPECT_EQ(r.exitCode, c.expected == Why::None ? 0u : 3u) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["reason"], c.expected == Why::None ? "" : "signature-invalid") << r.err;
    }
    EXPECT_EQ(device.Stop()["connections"], "1") << "only the sound one was written";
    ::DeleteFileW(p7s.c_str());
}

// A trust policy that cannot be read as meant trusts no one, through romflash as in the
// engine suite: a signed image is refused (reason=policy-unreadable) whatever the value's
// fault, an unsigned one whenever RequireSignature is there and not the DWORD 0, or --signer
// names whom to trust.
TEST_F(Flasher, TrustPolicyThatCannotBeReadTrustsNoOne)
{
    const Publisher maker("Example Handhelds ROM Signing", true);
    if (!maker.Ready()) GTEST_SKIP() << "no openssl beneath";
    ImageFile image(30000, L"policy.bin");
    ASSERT_TRUE(maker.Sign(image.Path()));
    const wchar_t* key = L"Software\\Policies\\ROM Upgrade Wizard";
    auto set = [&](const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        HKEY k = nullptr;
        const std::wstring path = std::wstring(key) + (subkey ? std::wstring(L"\\") + subkey : L"");
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &k,
                          nullptr);
        ::RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size);
        ::RegCloseKey(k);
    };
    const std::string print = maker.Thumbprint("signer.sha256");
    const std::wstring wide(print.begin(), print.end());
    const wchar_t blank[] = L"  ";
    const wchar_t empties[] = L"\0\0";
    const BYTE bytes[] = {1};
    const DWORD two = 2;
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
        const char* says;
    } signers[] = {
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * 2), "is of type REG_EXPAND_SZ"},
        {"REG_BINARY", REG_BINARY, bytes, 1, "is of type REG_BINARY"},
        {"REG_DWORD", REG_DWORD, &two, 4, "is of type REG_DWORD"},
        {"blank REG_SZ", REG_SZ, blank, sizeof blank, "names no thumbprint"},
        {"REG_MULTI_SZ of empty strings", REG_MULTI_SZ, empties, sizeof empties, "names no thumbprint"},
    };
    for (const auto& c : signers) {
        SCOPED_TRACE(c.what);
        set(L"TrustedSigners", L"Maker", c.type, c.data, c.size);
        UpgradeLog log;
        const robot::ConsoleResult r = Flash(L"--wait 0 " + Quoted(image.Path()));
        EXPECT_EQ(r.exitCode, 3u) << r.err;
        EXPECT_TRUE(Has(r.err, std::string("the policy's trusted signers value Maker ") + c.says)) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["reason"], "policy-unreadable");
    }
    // The same file beside romflash, naming no one.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    const std::wstring flasher = FlasherPath()[0] == L'/' ? L"Z:" + FlasherPath() : FlasherPath();
    const std::wstring signersFile = flasher.substr(0, flasher.find_last_of(L"\\/") + 1) + L"signers.txt";
    ASSERT_TRUE(WriteTextFile(signersFile, "# our signers:\r\n"));
    robot::ConsoleResult r = Flash(L"--wait 0 " + Quoted(image.Path()));
    ::DeleteFileW(signersFile.c_str());
    EXPECT_EQ(r.exitCode, 3u) << r.err;
    EXPECT_TRUE(Has(r.err, "signers.txt names no signer")) << r.err;

    // Unsigned: RequireSignature of any other kind than the DWORD 0 wants a signature.
    ::DeleteFileW((image.Path() + L".p7s").c_str());
    const wchar_t one[] = L"1";
    const unsigned long long one64 = 1;
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
    } requires[] = {{"REG_SZ 1", REG_SZ, one, sizeof one},
                    {"REG_QWORD 1", REG_QWORD, &one64, 8},
                    {"REG_BINARY 01", REG_BINARY, bytes, 1},
                    {"DWORD 2", REG_DWORD, &two, 4}};
    for (const auto& c : requires) {
        SCOPED_TRACE(c.what);
        set(nullptr, L"RequireSignature", c.type, c.data, c.size);
        UpgradeLog log;
        r = Flash(L"--wait 0 " + Quoted(image.Path()));
        EXPECT_EQ(r.exitCode, 3u) << r.err;
        UpgradeLog::Fields f;
        ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
        EXPECT_EQ(f["reason"], "signature-missing");
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    r = Flash(L"--wait 0 --signer " + wide + L" " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 3u) << "--signer alone lets no unsigned image through: " << r.err;
    EXPECT_TRUE(Has(r.err, "a signature is required")) << r.err;
}

// A crash, should one still happen, ends the program at once with its record and its own exit
// code, and no dialog waits for anyone. (A thread of ours started in the program at an address
// that is no code: an access violation of its own.)
TEST_F(Flasher, CrashEndsTheProgramAtOnceWithItsRecordAndCode)
{
    auto crash = [](DWORD pid) {
        UniqueHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
        UniqueHandle thread(process ? ::CreateRemoteThread(process.get(), nullptr, 0,
                                                           reinterpret_cast<LPTHREAD_START_ROUTINE>(16), nullptr, 0,
                                                           nullptr)
                                    : nullptr);
        return thread.valid();
    };
    ImageFile image(20000);
    UpgradeLog log;
    robot::ConsoleProgram line;
    ASSERT_TRUE(line.Start(FlasherPath(), L"--repeat " + Quoted(image.Path())));
    ASSERT_TRUE(robot::WaitUntil([&] { return Has(line.ErrorSoFar(), "waiting for handhelds"); }, 20000));
    ASSERT_TRUE(crash(line.ProcessId()));
    const robot::ConsoleResult r = line.Wait(20000);
    ASSERT_TRUE(r.ended) << "still running after its crash";
    EXPECT_EQ(r.exitCode, 12u) << r.err;
    EXPECT_TRUE(Has(r.err, "romflash: crashed (exception 0xC0000005)")) << r.err;
    UpgradeLog::Fields f;
    ASSERT_NO_FATAL_FAILURE(log.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["program"], "romflash");
    EXPECT_EQ(f["image"], Utf8(image.Path()));
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["step"], "program");
    EXPECT_EQ(f["reason"], "crashed");
    EXPECT_EQ(f["error"], std::to_string(0xC0000005u));

    UpgradeLog wizardLog;
    ASSERT_TRUE(wizard.Start(WizardPath()));
    ASSERT_TRUE(wizard.WaitForPage(Page::Welcome));
    ASSERT_TRUE(crash(wizard.ProcessId()));
    DWORD code = 0;
    ASSERT_TRUE(wizard.WaitForExit(20000, &code)) << "still running after its crash";
    EXPECT_EQ(code, 12u);
    ASSERT_NO_FATAL_FAILURE(wizardLog.ReadOnlyNewRecord(&f));
    EXPECT_EQ(f["program"], "RomUpgradeWizard");
    EXPECT_EQ(f["reason"], "crashed");
}

class OneWriter : public RoadScenario {};

TEST_F(OneWriter, SecondProgramAtTheHandheldIsRefusedAndTheFirstFinishesByteForByte)
{
    ImageFile image(100000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();  // this wizard now holds the handheld's link

    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 1u) << r.err;
    EXPECT_TRUE(Has(r.err, "another upgrade is using the handheld")) << r.err;
    EXPECT_LT(r.elapsedMs, 5000u) << "refused at once, not waited for";

    robot::Wizard second;
    ASSERT_TRUE(second.Start(WizardPath()));
    for (Page page : {Page::Welcome, Page::Reset, Page::Select}) {
        ASSERT_TRUE(second.WaitForPage(page)) << robot::PageName(second.VisiblePage());
        ASSERT_TRUE(second.Press(IDOK));  // Next; on the USB instructions page: the device check
    }
    std::wstring text;
    ASSERT_TRUE(second.WaitForMessageBox(&text, 20000));
    EXPECT_EQ(text, kInUseBox);
    ASSERT_TRUE(second.AnswerMessageBox());
    // The handheld is connected: back on the instructions, from which the check runs again.
    ASSERT_TRUE(second.WaitForPage(Page::Select, 10000)) << robot::PageName(second.VisiblePage());
    ASSERT_TRUE(second.Press(IDCANCEL));
    DWORD code = 1;
    EXPECT_TRUE(second.WaitForExit(10000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(device.ReadReport()["connections"], "1") << "neither of them opened the handheld";

    ChooseImage(image.Path());
    ExpectFinishPage(nullptr, nullptr);
    // Written by the wizard in this plug: a line leaves it alone while the wizard runs.
    r = Flash(L"--all --wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 1u) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "result=skipped (another romflash or wizard took this handheld in this plug")) << r.out;
    ASSERT_TRUE(wizard.Press(IDOK));
    ExpectRunEnds();
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["connections"], "1");
    EXPECT_EQ(rep["header_count"], "100000");
    EXPECT_EQ(rep["blocks"], "196");
    EXPECT_EQ(rep["match"], "1");
}

TEST_F(OneWriter, LockOfAProgramThatDiedIsFreeAgain)
{
    ImageFile image(5000);
    ASSERT_TRUE(device.Start()) << Utf8(device.Error());
    WalkToImagePage();
    wizard.Kill();
    robot::ConsoleResult r = Flash(L"--wait 5 " + Quoted(image.Path()));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EmulatedHandheld::Report rep = device.Stop();
    EXPECT_EQ(rep["connections"], "2");
    EXPECT_EQ(rep["match"], "1");
}

}  // namespace
