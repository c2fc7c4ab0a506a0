// The driver libraries and the monitor against a simulator that answers
// what no controller would: wrong types, numbers out of range, answers that
// never end. Every call must come back with a code (KVX_E_PROTOCOL for a
// malformed answer), and the monitor shows the controller offline.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon_process.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"
#include "support/fake_simulator.h"

namespace kvx {
namespace {

using nlohmann::json;
using test::FakeReply;
using test::FakeSimulator;

// The entry points a case calls, in the form of either library.
enum class Call { Select, Init, Status, AxisLimit, AxisState, Word, Option, Env, TaskState, TaskFile, Encoder, Miniport };

class Library {
public:
    Library(bool remote, const std::string& url) : remote_(remote) {
        lib_ = ::dlopen((kvxsim::test::binDir() + (remote ? "/kvxg3X.DLL" : "/kvxg3.dll")).c_str(), RTLD_NOW);
        if (!lib_) throw std::runtime_error(::dlerror());
        url_ = url;
    }
    ~Library() {
        if (remote_ && handle_) fn<KvxCloseRemoteFn>("KvxG3Close")(handle_);
        if (!remote_) fn<KvxCloseLocalFn>("KvxClose")();
        ::dlclose(lib_);
    }

    int32_t call(Call c) {
        if (c == Call::Select) {
            if (!remote_) return fn<KvxCardSelectFn>("CardSelect")(0);
            handle_ = 0;
            return fn<KvxOpenRemoteFn>("KvxG3XOpen")(url_.c_str(), 0, "kvx0", 0, &handle_);
        }
        if (remote_ && !handle_ && fn<KvxOpenRemoteFn>("KvxG3XOpen")(url_.c_str(), 0, "kvx0", 0, &handle_) != 0)
            return 1;  // the open failed: not what a case tests
        const KvxHandle h = handle_;
        int32_t value = 0;
        auto record = axes[0].data();
        switch (c) {
        case Call::Init:
            return remote_ ? fn<KvxInitRemoteFn>("InitKvxSystem")(h, axes.data(), info.data(), "r", &boardType)
                           : fn<KvxInitLocalFn>("InitKvxSystem3")(axes.data(), info.data(), 0, "S", &boardType);
        case Call::Status:
            return remote_ ? fn<KvxStatusRemoteFn>("rdKvxStatus")(h, status.data(), 240)
                           : fn<KvxStatusLocalFn>("rdKvxStatus")(status.data(), 240);
        case Call::AxisLimit:
        case Call::AxisState: {
            const char* name = c == Call::AxisLimit ? "rdmpe" : "rdaxst";
            return remote_ ? fn<KvxRecordRemoteFn>(name)(h, record) : fn<KvxRecordLocalFn>(name)(record);
        }
        case Call::Word:
            return remote_ ? fn<KvxIntRemoteFn>("rdOsVersion")(h, &value) : fn<KvxIntLocalFn>("rdOsVersion")(&value);
        case Call::Option: {
            options.fill();
            auto d = options[OptionDescriptors::EpmBase].data();
            return remote_ ? fn<KvxOptionRemoteFn>("rdOptionInt")(h, d, &value)
                           : fn<KvxOptionLocalFn>("rdOptionInt")(d, &value);
        }
        case Call::Env:
            env.setText("SerialNumber");
            return remote_ ? fn<KvxEnvRemoteFn>("getEnvStr")(h, env.chars()) : fn<KvxEnvLocalFn>("getEnvStr")(env.chars());
        case Call::TaskState:
        case Call::TaskFile: {
            const char* name = c == Call::TaskState ? "rdcncts" : "getcnctfh";
            void* r = c == Call::TaskState ? taskState.data() : taskFile.data();
            return remote_ ? fn<KvxTaskRemoteFn>(name)(h, 0, r) : fn<KvxTaskLocalFn>(name)(0, r);
        }
        case Call::Encoder:
            return remote_ ? fn<KvxDigibRemoteFn>("rddigib")(h, 0, 18) : fn<KvxDigibLocalFn>("rddigib")(0, 18);
        case Call::Miniport:
            return remote_ ? fn<int32_t (*)(KvxHandle)>("rdDriverVersion")(h)
                           : fn<KvxDriverVersionFn>("rdDriverVersion")();
        case Call::Select:
            break;
        }
        return 1;
    }

    AxisTable axes;
    SystemInfo info;
    StatusRecord status;
    OptionDescriptors options;
    EnvBuffer env;
    TaskStateRecord taskState;
    TaskFileRecord taskFile;
    int32_t boardType = -1;

private:
    template <typename Fn>
    Fn fn(const char* name) {
        return reinterpret_cast<Fn>(::dlsym(lib_, name));
    }
    bool remote_;
    void* lib_ = nullptr;
    std::string url_;
    KvxHandle handle_ = 0;
};

struct HostileAnswer {
    const char* name;
    const char* op;    // the request whose answer is spoiled
    const char* body;  // what the simulator sends instead
    Call call;
    int32_t expected;  // the same in both libraries
};

void PrintTo(const HostileAnswer& c, std::ostream* os) { *os << c.name; }

constexpr int32_t kProtocol = KVX_E_PROTOCOL;

const HostileAnswer kHostileAnswers[] = {
    {"AxesOfNumbers", "init", R"({"rc":0,"tavosName":"T","axisCount":3,"boardType":4,"axes":[1,2,3]})", Call::Init, kProtocol},
    {"AxisStateText", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":[{"state":"x"}]})", Call::Init, kProtocol},
    {"AxisLimitText", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":[{"limit":"wide"}]})", Call::Init, kProtocol},
    {"AxisState1e30", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":[{"state":1e30}]})", Call::Init, kProtocol},
    {"AxisStateNegative", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":[{"state":-1}]})", Call::Init, kProtocol},
    {"AxisLimitInfinite", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":[{"limit":1e400}]})", Call::Init, kProtocol},
    {"BoardType1e300", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":1e300,"axes":[]})", Call::Init, kProtocol},
    {"AxisCountText", "init", R"({"rc":0,"tavosName":"T","axisCount":"4","boardType":4,"axes":[]})", Call::Init, kProtocol},
    {"TavosNameNumber", "init", R"({"rc":0,"tavosName":7,"axisCount":1,"boardType":4,"axes":[]})", Call::Init, kProtocol},
    {"AxesObject", "init", R"({"rc":0,"tavosName":"T","axisCount":1,"boardType":4,"axes":{"0":{}}})", Call::Init, kProtocol},
    {"ResultCode1e300", "init", R"({"rc":1e300})", Call::Init, kProtocol},
    {"ResultCodeBeyond32Bits", "status", R"({"rc":4294967296})", Call::Status, kProtocol},
    {"ResultCodeText", "status", R"({"rc":"0"})", Call::Status, kProtocol},
    {"LinksOfTexts", "status", R"({"rc":0,"minCycle":1,"maxCycle":2,"runCounter":3,"links":["a","b","c","d","e"]})", Call::Status, kProtocol},
    {"MinCycle1e30", "status", R"({"rc":0,"minCycle":1e30,"maxCycle":2,"runCounter":3,"links":[0,0,0,0,0]})", Call::Status, kProtocol},
    {"AnswerIsArray", "status", R"([0,1,2])", Call::Status, kProtocol},
    {"AnswerCutShort", "status", R"({"rc":0,"minCycle":)", Call::Status, kProtocol},
    {"AxisLimitObject", "axis", R"({"rc":0,"limit":{}})", Call::AxisLimit, kProtocol},
    {"AxisStateFraction", "axis", R"({"rc":0,"state":1.5})", Call::AxisState, kProtocol},
    {"WordText", "osVersion", R"({"rc":0,"value":"253048"})", Call::Word, kProtocol},
    {"Word1e30", "osVersion", R"({"rc":0,"value":1e30})", Call::Word, kProtocol},
    {"WordBeyond32Bits", "osVersion", R"({"rc":0,"value":4294967296})", Call::Word, kProtocol},
    {"OptionValueText", "option", R"({"rc":4,"value":"5"})", Call::Option, kProtocol},
    {"EnvValueNumber", "env", R"({"rc":8,"value":20001234})", Call::Env, kProtocol},
    {"TaskFileNumber", "task", R"({"rc":0,"file":12345})", Call::TaskFile, kProtocol},
    {"TaskStateText", "task", R"({"rc":0,"state":"running"})", Call::TaskState, kProtocol},
    {"EncoderText", "axis", R"({"rc":0,"encoder":"bad"})", Call::Encoder, 0},
    {"MiniportArray", "miniport", R"({"rc":0,"value":[1]})", Call::Miniport, 0},
    {"SnapshotAnswerNumber", "snapshot", R"({"rc":0,"snapshot":{"answers":{"status":7}}})", Call::Status, kProtocol},
    {"SnapshotAxesText", "snapshot", R"({"rc":0,"snapshot":{"answers":{"axis/0":{"rc":0,"limit":"x"}}}})", Call::AxisLimit, kProtocol},
    {"CompactSnapshotCutShort", "snapshot", "{\"rc\":0}\tkvxflat1 I 0 W 0", Call::Status, kProtocol},
    {"CompactSnapshotTextTooLong", "snapshot", "{\"rc\":0}\tkvxflat1 I 1 0 1 4 1 99999999:T", Call::AxisLimit, kProtocol},
};

class HostileAnswers : public ::testing::TestWithParam<std::tuple<HostileAnswer, bool>> {};

TEST_P(HostileAnswers, CallAnswersACodeAndLeavesTheRecordsAlone) {
    const auto& [hostile, remote] = GetParam();
    kvxsim::test::TempDir dir;
    const std::string socket = dir.file("kvxsim.sock");
    FakeSimulator simulator(socket, [hostile = hostile](const json& request) {
        return FakeReply{request.value("op", "") == hostile.op ? hostile.body : FakeSimulator::healthyAnswer(request)};
    });
    ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
    {
        Library lib(remote, simulator.url());
        // The axis records are those of an initialisation.
        if (hostile.call != Call::Init) {
            ASSERT_EQ(lib.call(Call::Init), 0);
        }
        auto before = lib.axes;
        EXPECT_EQ(lib.call(hostile.call), hostile.expected);
        if (hostile.call == Call::Init) {
            EXPECT_EQ(lib.boardType, -1);
            EXPECT_EQ(std::memcmp(before.data(), lib.axes.data(), sizeof lib.axes), 0);
        }
    }
    ::unsetenv("KVXSIM_SOCKET");
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, HostileAnswers,
                         ::testing::Combine(::testing::ValuesIn(kHostileAnswers), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Remote" : "_Local");
                         });

// Links that never bring a whole answer, or bring too much: every call comes
// back, after the request deadline at the latest.
struct HostileLink {
    const char* name;
    FakeReply reply;  // to every version read
    int32_t expected;
};

void PrintTo(const HostileLink& c, std::ostream* os) { *os << c.name; }

std::string bracketAnswer() { return R"({"rc":0,"value":1,"x":)" + std::string(100000, '[') + std::string(100000, ']') + "}"; }

// A valid answer under the given status line and framing headers.
FakeReply framed(const std::string& statusLine, const std::string& headers) {
    return {statusLine + "\r\n" + headers + "\r\n{\"rc\":0,\"value\":1}", FakeReply::Kind::Raw};
}

// A valid answer in the given chunks and what follows them.
FakeReply chunked(const std::string& chunks) {
    return {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks, FakeReply::Kind::Raw};
}

const HostileLink kHostileLinks[] = {
    {"Silent", {"", FakeReply::Kind::Silent}, KVX_E_NO_CONNECTION},
    {"OneByteEvery100ms", {R"({"rc":0,"value":1})", FakeReply::Kind::Trickle, 100}, KVX_E_NO_CONNECTION},
    {"EndlessAnswer", {"", FakeReply::Kind::Endless}, kProtocol},
    {"TwoMegabyteAnswer", {R"({"rc":0,"value":1,"x":")" + std::string(2 << 20, 'x') + R"("})"}, kProtocol},
    {"HundredThousandBrackets", {bracketAnswer()}, kProtocol},
    {"ThousandHeaderLines",
     {"HTTP/1.1 200 OK\r\n" + [] {
          std::string h;
          for (int i = 0; i < 1000; ++i) h += "X-Filler: " + std::to_string(i) + "\r\n";
          return h;
      }() + "Content-Length: 18\r\n\r\n{\"rc\":0,\"value\":1}",
      FakeReply::Kind::Raw},
     kProtocol},
    {"StatusOfFourDigits", framed("HTTP/1.1 2000 OK", "Content-Length: 18\r\n"), kProtocol},
    {"StatusOfTwoDigits", framed("HTTP/1.1 20 OK", "Content-Length: 18\r\n"), kProtocol},
    {"StatusOfHttp2", framed("HTTP/2 200 OK", "Content-Length: 18\r\n"), kProtocol},
    {"TwoDifferingLengths", framed("HTTP/1.1 200 OK", "Content-Length: 5\r\nContent-Length: 18\r\n"), kProtocol},
    {"LengthWithPlus", framed("HTTP/1.1 200 OK", "Content-Length: +18\r\n"), kProtocol},
    {"LengthNegative", framed("HTTP/1.1 200 OK", "Content-Length: -1\r\n"), kProtocol},
    {"LengthOfLetters", framed("HTTP/1.1 200 OK", "Content-Length: abc\r\n"), kProtocol},
    {"LengthOf20Digits", framed("HTTP/1.1 200 OK", "Content-Length: 00000000000000000018\r\n"), kProtocol},
    {"LengthList", framed("HTTP/1.1 200 OK", "Content-Length: 18, 18\r\n"), kProtocol},
    {"ChunkNotFollowedByCrlf", chunked("12\r\n{\"rc\":0,\"value\":1}XX0\r\n\r\n"), kProtocol},
    {"ChunkSizeWithJunk", chunked("12x\r\n{\"rc\":0,\"value\":1}\r\n0\r\n\r\n"), kProtocol},
    // Framings that are sound: the same length twice, a status line without reason.
    {"SameLengthTwice", framed("HTTP/1.1 200 OK", "Content-Length: 18\r\nContent-Length: 18\r\n"), 0},
    {"StatusWithoutReason", framed("HTTP/1.1 200", "Content-Length: 18\r\n"), 0},
    // Trailer lines after the last chunk are passed over, not left for the next answer.
    {"TrailerAfterLastChunk", chunked("12\r\n{\"rc\":0,\"value\":1}\r\n0\r\nX-Sum: 1\r\n\r\n"), 0},
};

class HostileLinks : public ::testing::TestWithParam<std::tuple<HostileLink, bool>> {};

// The deadline the remote library is given here; the local one's is fixed.
constexpr auto kRemoteDeadline = std::chrono::milliseconds(400);
constexpr auto kLocalDeadline = std::chrono::milliseconds(800);

TEST_P(HostileLinks, CallEndsWithACode) {
    const auto& [hostile, remote] = GetParam();
    // Framing is HTTP's: the unix socket's line reads any head as no JSON.
    const int32_t expected = !remote && hostile.reply.kind == FakeReply::Kind::Raw ? kProtocol : hostile.expected;
    ::setenv("KVXG3X_DEADLINE_MS", std::to_string(kRemoteDeadline.count()).c_str(), 1);
    kvxsim::test::TempDir dir;
    const std::string socket = dir.file("kvxsim.sock");
    FakeSimulator simulator(socket, [hostile = hostile](const json& request) {
        return request.value("op", "") == "osVersion" ? hostile.reply : FakeReply{FakeSimulator::healthyAnswer(request)};
    });
    ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
    {
        Library lib(remote, simulator.url());
        ASSERT_EQ(lib.call(Call::Init), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(lib.call(Call::Word), expected);
        // Within the deadline, whatever the peer does (and no sooner, where it is silent).
        const auto took = std::chrono::steady_clock::now() - start;
        const auto deadline = remote ? kRemoteDeadline : kLocalDeadline;
        EXPECT_LT(took, deadline + std::chrono::milliseconds(300));
        if (hostile.reply.kind == FakeReply::Kind::Silent) {
            EXPECT_GE(took, deadline);
        }
        // The link recovers at the next initialisation.
        EXPECT_EQ(lib.call(Call::Init), 0);
    }
    ::unsetenv("KVXSIM_SOCKET");
    ::unsetenv("KVXG3X_DEADLINE_MS");
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, HostileLinks,
                         ::testing::Combine(::testing::ValuesIn(kHostileLinks), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Remote" : "_Local");
                         });

// Starts the copy of the program in `dir` with `args` and nothing in its
// environment but `environment`; its output goes to dir/out and dir/err.
pid_t startProgram(const kvxsim::test::TempDir& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& environment) {
    std::vector<std::string> words{dir.file("KvxDiagnostics")};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, dir.file("out").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The real program against a simulator that answers its first call and then
// stalls, or answers the initialisation with axes of the wrong type: the
// controller is shown offline (with -103 for the malformed answer, where the
// program used to crash), and SIGTERM in the middle of a stalled call ends
// the run in order.
std::string kindName(FakeReply::Kind kind) {
    return kind == FakeReply::Kind::Answer ? "MalformedAxes" : kind == FakeReply::Kind::Silent ? "Silent" : "OneByteEvery20s";
}

class StalledSimulator : public ::testing::TestWithParam<std::tuple<FakeReply::Kind, bool>> {};

TEST_P(StalledSimulator, SigtermEndsTheProgramInOrder) {
    const auto [kind, remote] = GetParam();
    kvxsim::test::TempDir dir;
    const std::string socket = dir.file("kvxsim.sock");
    FakeSimulator simulator(socket, [kind = kind](const json& request) {
        const std::string op = request.value("op", "");
        if (op == "hello" || (kind == FakeReply::Kind::Answer && op != "init"))
            return FakeReply{FakeSimulator::healthyAnswer(request)};
        if (kind == FakeReply::Kind::Answer) return FakeReply{kHostileAnswers[0].body};
        return FakeReply{FakeSimulator::healthyAnswer(request), kind, 20000};
    });
    const std::string program = dir.file("KvxDiagnostics");
    std::filesystem::copy_file(KVX_PROGRAM, program);
    const std::string protocolFile = dir.file("DiagProtocol.txt");
    std::string settings = "[PROTOCOL]\nFileName=" + protocolFile + "\n";
    if (remote) settings += "[Project data]\nUse Webservices=1\nURL=" + simulator.url() + "\nDEV FileNameX=kvx0\n";
    std::ofstream(dir.file("KvxDiagnostics.INI")) << settings;

    const pid_t pid = startProgram(dir, {"--console", "--interval-ms", "100"},
                                   {"KVXDLLNAME=" + kvxsim::test::binDir() + (remote ? "/kvxg3X.DLL" : "/kvxg3.dll"),
                                    "KVXSIM_SOCKET=" + socket});
    ASSERT_GT(pid, 0);

    // Well into the run, when a call waits for the stalled simulator.
    while (simulator.requests() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    int status = 0;
    // Before the deadlines the program waited 30 s per read and never
    // answered SIGTERM in time; it may take 2 s, whatever the deadline.
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - signalled > std::chrono::seconds(10)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            FAIL() << "still running 10 s after SIGTERM";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    std::cout << "ended " << took.count() << " ms after SIGTERM\n";
    EXPECT_LE(took.count(), 2000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string protocol = readText(protocolFile);
    EXPECT_NE(protocol.find("System is offline:\n"), std::string::npos) << protocol;
    EXPECT_NE(protocol.find("Diagnostic Program closed!"), std::string::npos) << protocol;
    if (kind == FakeReply::Kind::Answer) {
        EXPECT_NE(readText(dir.file("out")).find("Error -103 at Initialisation!"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, StalledSimulator,
                         ::testing::Combine(::testing::Values(FakeReply::Kind::Silent, FakeReply::Kind::Trickle,
                                                              FakeReply::Kind::Answer),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return kindName(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_Remote" : "_Local");
                         });

// A settings file of 100 GB (sparse): before, every key read read the whole
// file and reserved its size first, and the start ended in bad_alloc.
TEST(OversizedProfileFile, OnlyItsFirstMegabyteIsReadAndItIsNeverRewritten) {
    kvxsim::test::TempDir dir;
    std::filesystem::copy_file(KVX_PROGRAM, dir.file("KvxDiagnostics"));
    const std::string settingsFile = dir.file("KvxDiagnostics.INI");
    std::ofstream(settingsFile) << "[PROTOCOL]\nFileName=" << dir.file("DiagProtocol.txt") << "\n";
    std::filesystem::resize_file(settingsFile, 100ull << 30);
    const pid_t pid = startProgram(dir, {"--console", "--ticks", "2", "--interval-ms", "10"},
                                   {"KVXDLLNAME=" + kvxsim::test::binDir() + "/kvxg3.dll",
                                    "KVXSIM_SOCKET=" + dir.file("no-simulator.sock")});
    ASSERT_GT(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string err = readText(dir.file("err"));
    const std::string told = "KvxDiagnostics: " + settingsFile +
                             " is larger than 1 MB; only its first 1 MB are read, and it is never rewritten\n";
    EXPECT_EQ(err.find(told), err.rfind(told)) << err;
    EXPECT_NE(err.find(told), std::string::npos) << err;
    // The protocol went where the file's first line says, and the file is as it was.
    EXPECT_NE(readText(dir.file("DiagProtocol.txt")).find("Diagnostic Program closed!"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(settingsFile), 100ull << 30);
}

// Hostile command lines and scenario files: refused with a clear message
// before anything runs; --version answered without running anything. Before, a scenario time of 1e10 s passed --check and
// then spun the timeline thread (SIGTERM never stopped the daemon), an
// interval of 2147483648 ms ticked in a busy loop, and --socket deleted
// whatever file was at the path.
struct HostileCommandLine {
    const char* name;
    std::vector<std::string> (*argv)(const kvxsim::test::TempDir& dir);
    int exitCode;
    const char* says;  // a line of standard error
};

void PrintTo(const HostileCommandLine& c, std::ostream* os) { *os << c.name; }

std::string scenarioWith(const kvxsim::test::TempDir& dir, const std::string& timeline) {
    return dir.write("hostile.scn", readText(kvxsim::test::scenarioDir() + "/kvx2000.scn") + "\n[timeline]\n" + timeline + "\n");
}

const HostileCommandLine kHostileCommandLines[] = {
    {"ScenarioTime1e10",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", scenarioWith(d, "at 1e10 = restart"), "--check"};
     },
     2, "field \"at 1e10\": time \"1e10\": more than 10000000 seconds (some 115 days)"},
    {"ScenarioPeriod1e308",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", scenarioWith(d, "every 1e308 = restart"), "--check"};
     },
     2, "field \"every 1e308\": time \"1e308\": more than 10000000 seconds (some 115 days)"},
    {"IntervalBeyond32Bits",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--interval-ms", "2147483648"};
     },
     2, "KvxDiagnostics: --interval-ms needs a whole number from 1 to 3600000, not \"2147483648\""},
    {"IntervalOf20Digits",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--interval-ms", "99999999999999999999"};
     },
     2, "KvxDiagnostics: --interval-ms needs a whole number from 1 to 3600000, not \"99999999999999999999\""},
    {"RecordFilesBeyondRange",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--record", d.path() + "/r", "--record-max-mb", "1", "--record-files", "2147483647"};
     },
     2, "KvxDiagnostics: --record-files needs a whole number from 1 to 1000, not \"2147483647\""},
    {"RecordMaxMbBeyond32Bits",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--record", d.path() + "/r", "--record-max-mb", "4294967296"};
     },
     2, "KvxDiagnostics: --record-max-mb needs a whole number from 1 to 1048576, not \"4294967296\""},
    {"SimulatorReplayOfDevZero",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--replay", "/dev/zero", "--no-http"};
     },
     2, "kvxsim: cannot open /dev/zero: not a regular file"},
    {"MisspeltOption",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--metrics-adress", "127.0.0.1:9464"};
     },
     2, "KvxDiagnostics: unknown option --metrics-adress (--help lists the options)"},
    {"OptionWithoutItsValue",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {KVX_PROGRAM, "--console", "--ticks"}; },
     2, "KvxDiagnostics: --ticks needs a value"},
    {"LogLevelUnknown",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {KVX_PROGRAM, "--log.level", "loud"}; },
     2, "KvxDiagnostics: --log.level needs debug, info, warn or error, not \"loud\""},
    {"ListenAddressWithoutPort",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--web.listen-address", "0.0.0.0"};
     },
     2, "KvxDiagnostics: --web.listen-address needs [HOST]:PORT (port 0 to 65535), not \"0.0.0.0\""},
    // Refused at once, not taken and ignored or failing at the end of the run.
    {"ProtocolWithoutReplay",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--ticks", "1", "--protocol", d.path() + "/p.txt"};
     },
     2, "KvxDiagnostics: --protocol needs --replay"},
    {"EmptyReportFile",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {KVX_PROGRAM, "--ticks", "1", "--report", ""}; },
     2, "KvxDiagnostics: --report needs a file name, not \"\""},
    {"TicksWithALeadingSpace",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {KVX_PROGRAM, "--console", "--ticks", " 5"}; },
     2, "KvxDiagnostics: --ticks needs a positive whole number, not \" 5\""},
    // Only a service (with metrics) waits for its controller; a plain headless run ends as the window does.
    {"UnreachableWithoutMetrics",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {KVX_PROGRAM, "--console", "--settings",
                 d.write("c.ini", "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:1\n"), "--ticks", "1"};
     },
     1, "Fatal Error!: WebServices Access failed!"},
    // A URL the library cannot use never gets better: a service ends as the window does (timeout: no endless retry).
    {"UnusableUrlWithMetrics",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {"/usr/bin/timeout", "20", KVX_PROGRAM, "--metrics-port", "0", "--settings",
                 d.write("c.ini", "[Project data]\nUse Webservices=1\nURL=ftp://not-a-url\n")};
     },
     1, "Fatal Error!: WebServices Access failed!"},
    {"ProgramVersion",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {KVX_PROGRAM, "/SU", "--version"}; },
     0, "KvxDiagnostics 2.5.3 (revision "},
    {"SimulatorVersion",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> { return {kvxsim::test::binDir() + "/kvxsim", "--version"}; },
     0, "kvxsim 2.5.3 (revision "},
    {"ControlVersion",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsimctl", "--version"};
     },
     0, "kvxsimctl 2.5.3 (revision "},
    {"ControlMisspeltOption",
     [](const kvxsim::test::TempDir&) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsimctl", "--sokcet", "x.sock", "state"};
     },
     2, "kvxsimctl: unknown option --sokcet (--help lists the options)"},
    {"ScenarioOverOneMegabyte",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", scenarioWith(d, std::string(1 << 20, '#')), "--check"};
     },
     2, "hostile.scn: larger than 1 MB"},
    {"PortFileOfAFolder",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", kvxsim::test::scenarioDir() + "/kvx2000.scn",
                 "--socket", d.file("s.sock"), "--port-file", d.path()};
     },
     2, " is a folder"},
    {"PortFileInAMissingFolder",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", kvxsim::test::scenarioDir() + "/kvx2000.scn",
                 "--socket", d.file("s.sock"), "--port-file", d.file("gone/port")};
     },
     1, "/gone/port.tmp: No such file or directory"},
    {"SocketPathOfAFile",
     [](const kvxsim::test::TempDir& d) -> std::vector<std::string> {
         return {kvxsim::test::binDir() + "/kvxsim", "--scenario", kvxsim::test::scenarioDir() + "/kvx2000.scn",
                 "--socket", d.write("notes.txt", "precious\n"), "--no-http"};
     },
     1, "notes.txt exists and is no socket; it is left alone"},
};

class HostileCommandLines : public ::testing::TestWithParam<HostileCommandLine> {};

TEST_P(HostileCommandLines, RefusedWithAClearMessage) {
    kvxsim::test::TempDir dir;
    const auto result = kvxsim::test::runProcess(GetParam().argv(dir));
    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.err;
    // A refusal on standard error, an answer (--version) on standard output.
    const std::string& told = GetParam().exitCode == 0 ? result.out : result.err;
    EXPECT_NE(told.find(GetParam().says), std::string::npos) << result.out << result.err;
    if (std::filesystem::exists(dir.file("notes.txt"))) {
        EXPECT_EQ(readText(dir.file("notes.txt")), "precious\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Refusals, HostileCommandLines, ::testing::ValuesIn(kHostileCommandLines),
                         [](const auto& info) { return std::string(info.param.name); });

// A program copied elsewhere without its plugins: before, it loaded the
// metrics plugin from the folder the build had put it in.
TEST(PluginLocation, ACopiedProgramLoadsNoPluginFromTheBuildTree) {
    kvxsim::test::TempDir dir;
    std::filesystem::copy_file(KVX_PROGRAM, dir.file("KvxDiagnostics"));
    const pid_t pid = startProgram(dir, {"--console", "--ticks", "1", "--metrics-port", "0"},
                                   {"KVXSIM_SOCKET=" + dir.file("no-simulator.sock")});
    ASSERT_GT(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(readText(dir.file("err")).find("libkvxdiag_metrics.so not found beside the program"), std::string::npos)
        << readText(dir.file("err"));
}

}  // namespace
}  // namespace kvx
