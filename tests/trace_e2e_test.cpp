// The trace a user turns on for a helpdesk: each failure the agent meets is in it as the
// call, its return value and its time, or as the host's or the picker's end; the file is
// the user's alone and is never written through a link, a FIFO or a folder; and a person
// can read it with --trace-summary.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/agent.h"
#include "token/certificate.h"
#include "pkcs11/cryptoki.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace p11agent {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const std::string CERT = der_with_serial("0d0e");
const std::string PRINT = thumbprint_of(hex_bytes(CERT)).value();
const std::string HASH(64, 'a');

json scenario(const json& fault) {
  json s = {{"slots", json::array({slot(1, token("Card", "77", {certificate(CERT, "01"), private_key("01")}))})}};
  s.update(fault);
  return s;
}

json request(const char* cmd, const char* pin) {
  json r = {{"cmd", cmd}, {"thumbprint", PRINT}, {"pin", pin}};
  if (std::string_view(cmd) == "sign") r["hash_hex"] = HASH;
  return r;
}

enum class Mode { OneShot, Serve };

struct TracedRun {
  std::string name;
  Mode mode;
  json fault;
  json asked;
  std::vector<json> lines;  // in this order
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_BED_MODULES(1);
    uninstall_known_modules();
    module = test_known_modules().front();
  }
  void TearDown() override { uninstall_known_modules(); }
  std::string module;

  // The agent's answer to one request, as the mode answers it.
  static std::string answer(Mode mode, const std::string& asked) {
    if (mode == Mode::OneShot) return run_agent(asked).out;
    fake_folder();
    ChildProcess daemon(agent_path(), {"serve"});
    daemon.write(asked + "\n");
    std::string line = daemon.read_line(60s).value_or("<no answer>");
    daemon.close_stdin();
    daemon.wait();
    return line;
  }
};

TEST_F(TraceTest, EachFailureIsTracedAsItsCallOrItsEnd) {
  const json list = {{"cmd", "list_certs"}};
  std::vector<TracedRun> runs = {
      {"wrong PIN", Mode::OneShot, {{"fail", json::array({failure("C_Login", CKR_PIN_INCORRECT)})}}, request("sign", "5678"),
       {{{"event", "start"}, {"mode", "one-shot"}},
        {{"event", "request"}, {"cmd", "sign"}, {"thumbprint", PRINT}, {"pin_given", true}, {"hash_hex_chars", 64}},
        {{"event", "call"}, {"fn", "C_Login"}, {"rv", "CKR_PIN_INCORRECT"}},
        {{"event", "answer"}, {"ok", false}},
        {{"event", "end"}, {"status", 1}}}},
      {"locked token", Mode::Serve, {{"fail", json::array({failure("C_Login", CKR_PIN_LOCKED)})}}, request("validate", "5678"),
       {{{"event", "start"}, {"mode", "serve"}},
        {{"event", "call"}, {"fn", "C_Login"}, {"rv", "CKR_PIN_LOCKED"}},
        {{"event", "answer"}, {"ok", false}, {"error", "WRONG_PIN:0"}}}},
      {"crash in C_Sign", Mode::Serve, {{"crash", json::array({"C_Sign"})}}, request("sign", "1234"),
       {{{"event", "call"}, {"fn", "C_SignInit"}, {"mechanism", "CKM_RSA_PKCS"}, {"rv", "CKR_OK"}},
        {{"event", "host"}, {"what", "ended"}, {"during", "C_Sign"}},
        {{"event", "answer"}, {"ok", false}}}},
      {"attributes by name", Mode::OneShot, json::object(), list,
       {{{"event", "call"}, {"fn", "C_FindObjectsInit"}, {"attributes", json::array({"CKA_CLASS"})}},
        {{"event", "call"}, {"fn", "C_GetAttributeValue"}, {"attributes", json::array({"CKA_VALUE"})}},
        {{"event", "answer"}, {"ok", true}}}},
      {"hang until the deadline", Mode::OneShot, {{"hang", json::array({"C_Initialize"})}}, list,
       {{{"event", "host"}, {"what", "deadline"}, {"call", "C_Initialize after 8 s"}},
        {{"event", "host"}, {"what", "not_loaded"}},
        {{"event", "answer"}, {"ok", true}}}},
  };
  for (const TracedRun& run : runs) {
    install_known_module(module, scenario(run.fault));
    TestTrace trace(std::to_string(&run - runs.data()));
    const std::string answered = answer(run.mode, run.asked.dump());
    EXPECT_TRUE(trace.holds(run.lines)) << run.name << " answered " << answered;
    for (const json& line : trace.lines()) {
      EXPECT_TRUE(line.contains("t") && line["t"].get<std::string>().ends_with("Z")) << run.name << ": " << line;
      EXPECT_TRUE(line.contains("pid") && line["pid"].is_number_integer()) << run.name << ": " << line;
    }
  }
}

#ifndef _WIN32
// A picker that cannot be shown is in the trace with what it said.
TEST_F(TraceTest, APickerThatCannotBeShownIsTracedWithItsWords) {
  install_known_module(module, scenario(json::object()));
  TestTrace trace("picker");
  set_environment("P11AGENT_CERT_PICKER", "/nonexistent/zenity");
  const std::string answered = answer(Mode::Serve, R"({"cmd":"choose_cert"})");
  set_environment("P11AGENT_CERT_PICKER", "");
  EXPECT_NE(answered.find("CERT_CHOICE_UNAVAILABLE"), std::string::npos) << answered;
  EXPECT_TRUE(trace.holds({{{"event", "picker"}, {"what", "shown"}, {"asks", "certificate"}},
                           {{"event", "picker"}, {"what", "ended"}, {"end", "unavailable"}}}));
}
#endif

// Where the trace cannot be written, the answer is the same as without it; the doctor says why.
TEST_F(TraceTest, TheFileIsTheUsersAloneAndNeverALinkAFifoOrAFolder) {
  namespace fs = std::filesystem;
  install_known_module(module, scenario(json::object()));
  const std::string asked = request("sign", "1234").dump();
  const std::string untraced = run_agent(asked).out;
  ASSERT_NE(untraced.find(R"("ok":true)"), std::string::npos) << untraced;
  const std::string folder = executable_folder() + "/trace-places";
  fs::remove_all(folder);
  fs::create_directories(folder + "/a-folder");
  struct Place {
    std::string path;
    std::string doctor_says;  // "" when written
  };
  std::vector<Place> places = {{folder + "/a-folder", "is a folder"},
                               {folder + "/missing/trace.jsonl", "cannot be opened for writing"},
                               {folder + "/trace.jsonl", ""}};
#ifndef _WIN32
  fs::create_symlink(folder + "/trace.jsonl", folder + "/link");
  ASSERT_EQ(::mkfifo((folder + "/fifo").c_str(), 0600), 0);
  places.push_back({folder + "/link", "is a symbolic link"});
  places.push_back({folder + "/fifo", "is a FIFO"});
  std::ofstream(folder + "/wide.jsonl") << "";
  fs::permissions(folder + "/wide.jsonl", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  places.push_back({folder + "/wide.jsonl", ""});
  // Another user's file (the tests run as root, which may give one away) is not written.
  std::ofstream(folder + "/theirs.jsonl") << "";
  if (::geteuid() == 0 && ::chown((folder + "/theirs.jsonl").c_str(), 65534, 65534) == 0)
    places.push_back({folder + "/theirs.jsonl", "belongs to another user"});
#endif
#ifdef _WIN32
  // Devices are refused by their names before anything is opened.
  for (const std::string& device : {std::string("NUL"), folder + "\\COM1.jsonl", std::string("\\\\.\\pipe\\p11agent-trace")})
    places.push_back({device, "is a device, not a file"});
#endif
  TestTrace restores("places");  // the variable as it was, after the places
  for (const Place& place : places) {
    set_environment("P11AGENT_TRACE", place.path);
    EXPECT_EQ(run_agent(asked).out, untraced) << place.path;
    const std::string doctor = run_agent("", {"--doctor"}).out;
    const std::string said = place.doctor_says.empty() ? "trace: on, to " + place.path
                                                        : place.path + " (named by P11AGENT_TRACE) " + place.doctor_says;
    EXPECT_NE(doctor.find(said), std::string::npos) << doctor;
  }
  EXPECT_FALSE(fs::exists(folder + "/missing"));
#ifndef _WIN32
  for (const char* written : {"/trace.jsonl", "/wide.jsonl"}) {
    EXPECT_EQ(fs::status(folder + written).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write)
        << written;
    EXPECT_GT(fs::file_size(folder + written), 0u) << written;
  }
  EXPECT_FALSE(fs::is_symlink(folder + "/trace.jsonl"));
  EXPECT_TRUE(fs::is_fifo(folder + "/fifo"));
  EXPECT_EQ(fs::file_size(folder + "/theirs.jsonl"), 0u);
#endif
}

// A browser's agent has the browser's environment: the user's own setting names the trace
// there, and the variable wins where both do.
TEST_F(TraceTest, TheUsersSettingNamesTheTraceWhereTheVariableDoesNot) {
  install_known_module(module, scenario(json::object()));
  TestTrace by_variable("variable");
  const std::string by_setting = by_variable.path() + ".set.jsonl";
  std::filesystem::remove(by_setting);
#ifdef _WIN32
  const std::wstring wide(by_setting.begin(), by_setting.end());
  RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\p11agent", L"TraceFile", REG_SZ, wide.c_str(),
                  static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  const std::string place = "HKCU\\Software\\p11agent\\TraceFile";
#else
  const std::string config = executable_folder() + "/trace-config";
  std::filesystem::create_directories(config + "/p11agent");
  std::ofstream(config + "/p11agent/trace-file") << by_setting << "\n";
  set_environment("XDG_CONFIG_HOME", config);
  const std::string place = config + "/p11agent/trace-file";
#endif
  const std::string asked = request("sign", "1234").dump();
  run_agent(asked);
  EXPECT_TRUE(by_variable.holds({{{"event", "answer"}, {"ok", true}}}));
  EXPECT_FALSE(std::filesystem::exists(by_setting));
  set_environment("P11AGENT_TRACE", "");
  run_agent(asked);
  const std::string doctor = run_agent("", {"--doctor"}).out;
#ifdef _WIN32
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\p11agent", L"TraceFile");
#else
  set_environment("XDG_CONFIG_HOME", "");
#endif
  EXPECT_NE(doctor.find("trace: on, to " + by_setting + " (named by " + place + ")"), std::string::npos) << doctor;
  std::ifstream written(by_setting);
  std::string first;
  std::getline(written, first);
  EXPECT_EQ(json::parse(first, nullptr, false).value("event", ""), "start") << first;
}

// At 16 MiB the file becomes "<name>.1", replacing an older one, and a new one begins;
// every process that writes to it goes by its size on disk.
TEST_F(TraceTest, AFullTraceIsRenamedAndANewOneBegun) {
  namespace fs = std::filesystem;
  install_known_module(module, scenario(json::object()));
  TestTrace trace("full");
  std::ofstream(trace.path() + ".1") << "older\n";
  const std::string full(16u << 20, '\n');
  std::ofstream(trace.path(), std::ios::binary) << full.substr(100);
  EXPECT_NE(run_agent(request("sign", "1234").dump()).out.find(R"("ok":true)"), std::string::npos);
  EXPECT_EQ(fs::file_size(trace.path() + ".1"), full.size() - 100);
  EXPECT_TRUE(trace.holds({{{"event", "start"}}, {{"event", "answer"}, {"ok", true}}, {{"event", "end"}, {"status", 0}}}));
  EXPECT_LT(fs::file_size(trace.path()), 1u << 20);
  fs::remove(trace.path() + ".1");

  // Where the full file cannot be moved away (a folder in the way), tracing stops: the
  // file does not grow past its bound, however many processes come, and they answer as ever.
  fs::create_directories(trace.path() + ".1/kept");
  std::ofstream(trace.path(), std::ios::binary | std::ios::trunc) << full.substr(100);
  for (int run = 0; run < 3; ++run)
    EXPECT_NE(run_agent(request("sign", "1234").dump()).out.find(R"("ok":true)"), std::string::npos);
  EXPECT_LE(fs::file_size(trace.path()), full.size());
  fs::remove_all(trace.path() + ".1");

  // The file is shared: what other processes wrote counts toward the bound, and a file
  // another process moved away is left to it.
  fs::remove(trace.path());
  ChildProcess daemon(agent_path(), {"serve"});
  auto ask = [&] {
    daemon.write(request("validate", "1234").dump() + "\n");
    EXPECT_NE(daemon.read_line(60s).value_or("").find(R"("ok":true)"), std::string::npos);
  };
  ask();
  // The lines are written once the answer is: waited for as they come.
  for (int wait = 0; wait < 100 && !trace.holds({{{"event", "answer"}}}); ++wait) std::this_thread::sleep_for(100ms);
  const auto own = fs::file_size(trace.path());
  std::ofstream(trace.path(), std::ios::binary | std::ios::app) << full.substr(own + 100);
  ask();
  // Between the move and the new file there is no file at the path: asked without throwing.
  auto begun = [&] {
    std::error_code between;
    return fs::exists(trace.path() + ".1") && fs::file_size(trace.path(), between) < (1u << 20) &&
           trace.holds({{{"event", "answer"}}});
  };
  for (int wait = 0; wait < 100 && !begun(); ++wait) std::this_thread::sleep_for(100ms);
  // The whole shared file was moved: the daemon's own lines, the other process's, and any
  // the daemon's watch of the tokens wrote meanwhile (its calls are traced too, at any time).
  EXPECT_GE(fs::file_size(trace.path() + ".1"), full.size() - 100);
  EXPECT_LE(fs::file_size(trace.path() + ".1"), full.size() + 64 * 1024);
  EXPECT_LT(fs::file_size(trace.path()), 1u << 20);
  fs::rename(trace.path(), trace.path() + ".1");
  const auto moved = fs::file_size(trace.path() + ".1");
  ask();
  daemon.close_stdin();
  daemon.wait();
  EXPECT_EQ(fs::file_size(trace.path() + ".1"), moved);
  EXPECT_TRUE(trace.holds({{{"event", "answer"}, {"ok", true}}, {{"event", "end"}, {"status", 0}}}));
  fs::remove(trace.path() + ".1");
}

// The summary tells each request with its answer, and under a failed one what failed.
TEST_F(TraceTest, TheSummaryTellsWhatFailedUnderTheRequest) {
  install_known_module(module, scenario({{"fail", json::array({failure("C_Login", CKR_PIN_INCORRECT)})}}));
  std::string summary_path;
  {
    TestTrace trace("summary");
    summary_path = trace.path();
    run_agent(request("sign", "5678").dump());
    install_known_module(module, scenario(json::object()));
    run_agent(request("sign", "1234").dump());
  }
  // A line the summary cannot read (an answer whose ok is not a boolean) is left out, and
  // the lines after it are still told.
  std::string unreadable = R"({"t":"2026-12-10T17:31:48.123Z","pid":7,"event":"answer","ok":"yes"})";
  std::ifstream traced(summary_path);
  std::string first_line;
  std::getline(traced, first_line);
  const std::string rest{std::istreambuf_iterator<char>(traced), {}};
  traced.close();
  std::ofstream(summary_path, std::ios::trunc) << first_line << "\n" << unreadable << "\n" << rest;
  const RunResult summary = run_agent("", {"--trace-summary", summary_path});
  EXPECT_EQ(summary.status, 0);
  EXPECT_NE(summary.out.find("1 lines that are not a trace's were left out"), std::string::npos) << summary.out;
  const std::string& text = summary.out;
  const auto failed = text.find("sign for " + PRINT + " -> error: WRONG_PIN:");
  const auto login = text.find("C_Login on " + module + " session ");
  const auto passed = text.find("sign for " + PRINT + " -> ok (");
  ASSERT_NE(failed, std::string::npos) << text;
  ASSERT_NE(login, std::string::npos) << text;
  EXPECT_NE(text.find(": CKR_PIN_INCORRECT after ", login), std::string::npos) << text;
  EXPECT_LT(failed, login);
  EXPECT_LT(login, passed);
  EXPECT_EQ(text.find("C_Login", passed), std::string::npos) << "nothing failed under the passed one: " << text;
  const std::string not_a_trace = executable_folder() + "/not-a-trace.txt";
  std::ofstream(not_a_trace) << "{\"cmd\":\"sign\"}\n";
  EXPECT_EQ(run_agent("", {"--trace-summary", not_a_trace}).out, not_a_trace + " is not a p11agent trace\n");
  EXPECT_EQ(run_agent("", {"--trace-summary", not_a_trace}).status, 1);
}

}  // namespace
}  // namespace p11agent
