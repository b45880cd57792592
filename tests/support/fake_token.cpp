#include "support/fake_token.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/child_process.h"
#include "text/encoding.h"

namespace fs = std::filesystem;

namespace testing_support {

// Made with Python's cryptography package.
const std::string SIGNING_P256_HEX =
    "3082016c30820112a00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c65205472757374301e170d323030313031303030303030"
    "5a170d3430303130313132333030355a30163114301206035504030c0b416e6e61205369676e65723059301306072a8648ce"
    "3d020106082a8648ce3d03010703420004a6b204afec3d5cc405960be01cd461dffb3a2920cf2a214c0c6c82ba4a3cb661dd"
    "3862454728c7017b9ae34d3e6f2300ee67f114a6f65d4864067511d40fad3ea331302f300e0603551d0f0101ff0404030206"
    "c0301d0603551d250416301406082b0601050507030206082b06010505070304300a06082a8648ce3d040302034800304502"
    "2100e3b20ef69cb880282f6ad5ad76a7d2702dd508cc53dcb06138780f37347ceb270220136d031f036a3d15cac45fa6836b"
    "f331c86fa109aeab7778324ef10e47188961";
const std::string EXPIRED_P384_HEX =
    "308201483081efa00302010202021234300a06082a8648ce3d04030230153113301106035504030c0a4f7468657220526f6f"
    "74301e170d3031303130313030303030305a170d3032303130313030303030305a30153113301106035504030c0a4f6c6420"
    "4341206b65793076301006072a8648ce3d020106052b81040022036200047f3e91858df8643d6cea6b456fd00d4278d37a2b"
    "41e5f54b5982596f1544bb1798e5f699575ab916d9c64eb3d3b95281fff8187774b561e8fac31c8586e5fca368b43bdedb87"
    "5dfd62131380f402a7d15cbbd7a43ca58a56ebfa504156522bbca3123010300e0603551d0f0101ff040403020106300a0608"
    "2a8648ce3d0403020348003045022100a3f734c94c9c934100e7c9cc04329d1be799a33423ac96c71d098b8b5ce2728c0220"
    "2231a120a6dcc82cbb2a174265852c0b2aedbc5df854c7b1c61a1a32c58a4af4";
const std::string FUTURE_RSA_HEX =
    "30820208308201afa00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c652054727573743022180f323039303031303130303030"
    "30305a180f32303931303633303030303030305a30173115301306035504030c0c4c6174657220486f6c6465723082012230"
    "0d06092a864886f70d01010105000382010f003082010a02820101009c269584dd601a4f22c1dc3db2d88b55ff267b347679"
    "d6d165e256fb85dea906bdd11342bdabbb35ca807aa5feea9feb5082ef9a3e2bb4d88df3a59c02be725d344e88bbc8380930"
    "f562a9c52336be255157b17b95498f0c32fdd2b38253f04e25420e8a7dd632ec9a5bcfa2a0799dc5d9ffdd158d31671b63ea"
    "f98d2736cb6cf0c65c119189c3c5d89b1b7695b6923ec3f8d7dcdf07cad486e747d280393e42c6374e54aea9db7346b703db"
    "d2a426efd26ac6eebaadc12465126c279eb8f2b1cecb3f0c189e830d0394f86c36623bb2cadcac687cf3173f213dcfaad0dd"
    "272446944f9f7076f1415b4ace8c3cf7ea65dae563ca94e571dca9a7feed2aba912d0203010001300a06082a8648ce3d0403"
    "02034700304402201a5f29c49e866b863d0033ff37d01959349df6c5b8dd31b8b6125951e5fbfcdb022018351ea000d18a80"
    "e3359a9ede5485fbb370b9bd5ce7527f21e7f17453fc31f6";
const std::string K1_DECIPHER_HEX =
    "3082016230820109a00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c65205472757374301e170d323030313031303030303030"
    "5a170d3430303130313030303030305a30173115301306035504030c0c437572766520486f6c6465723056301006072a8648"
    "ce3d020106052b8104000a034200048ecf37f9cf6bdac000f7329ee9426d00bac2309ea97142c7e114f7b2a6fd4d51128845"
    "311fdea247e696093809b102ae6cf6f5e616b433bedb2692d011a4465ea32a3028300f0603551d0f0101ff04050303070880"
    "30150603551d25040e300c060a2b0601040182370a030c300a06082a8648ce3d04030203470030440220398ddad64ac60eae"
    "3b4ac4276a40d8d6426f6ae7bfc2e657e224e3b7b8bc184e022001d8eabab09bfcb2de3998694080de12e87c749c57925155"
    "8b0f9d35c6eda239";

const std::string NAMED_CERT_HEX =
    "3082016230820108020107300a06082a8648ce3d0403023042310b300906035504061302444531163014060355040a0c"
    "0d4578616d706c65205472757374311b301906035504030c124578616d706c65205369676e696e67204341301e170d32"
    "36313230383039303032345a170d3336313230353039303032345a30383115301306035504030c0c416e6e61204dc3bc"
    "6c6c6572311f301d060355040a0c164dc3bc6c6c657220262053c3b6686e652c20476d62483059301306072a8648ce3d"
    "020106082a8648ce3d03010703420004f022872be6a4d55d1a6c9e1c94c90664f4bb2f89c5c8a3c14929a528f86768df"
    "3fa540bfcf308d1c160d451236dc7d5e65c193d573e7e2090051261d24b2d50a300a06082a8648ce3d04030203480030"
    "45022064935a27a982ac1a5888dd2711c1ad949366716f85b095d72bc52b5d3300a88e022100f193ea567db56035484f"
    "052bff2563255e7ff43b1e8693814caac599fe1841d3";


FakeModuleFolder::FakeModuleFolder() {
  std::random_device seed;
  fs::path folder = fs::temp_directory_path() / ("p11fake-" + std::to_string(seed()) + std::to_string(seed()));
  fs::create_directories(folder);
  path_ = folder.string();
  set_environment("P11FAKE_DIR", path_);
}

FakeModuleFolder::~FakeModuleFolder() {
  if (std::getenv("P11FAKE_KEEP") != nullptr) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void FakeModuleFolder::write_scenario(const std::string& module_file, const json& scenario) const {
  fs::path target = fs::path(path_) / (module_file + ".json");
  fs::path temporary = target;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << scenario.dump();
  }
  fs::rename(temporary, target);
  clear_log(module_file);
  // What a module loaded with an earlier scenario reported is not this one's.
  std::error_code ignored;
  fs::remove(fs::path(path_) / (module_file + ".reach"), ignored);
}

std::vector<std::string> FakeModuleFolder::call_log(const std::string& module_file) const {
  std::ifstream in(fs::path(path_) / (module_file + ".log"), std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void FakeModuleFolder::clear_log(const std::string& module_file) const {
  std::error_code ignored;
  fs::remove(fs::path(path_) / (module_file + ".log"), ignored);
}

long FakeModuleFolder::process_id(const std::string& module_file) const {
  std::ifstream in(fs::path(path_) / (module_file + ".pid"));
  long id = -1;
  in >> id;
  return id;
}

json FakeModuleFolder::reach(const std::string& module_file) const {
  std::ifstream in(fs::path(path_) / (module_file + ".reach"));
  return json::parse(in, nullptr, false);
}

const FakeModuleFolder& fake_folder() {
  static const FakeModuleFolder folder;
  return folder;
}

std::string fake_module_path(const std::string& target) {
#ifdef _WIN32
  return executable_folder() + "\\" + target + ".dll";
#else
  return executable_folder() + "/" + target + ".so";
#endif
}

std::string file_name_of(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

void install_file(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  // A new file, not the old one rewritten: a process may still have the old one mapped.
  remove_file(to);
  fs::copy_file(from, to);
}

void remove_file(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

json certificate(const std::string& der_hex, const json& id_hex) {
  json c = {{"class", "certificate"}, {"value_hex", der_hex}};
  if (!id_hex.is_null()) c["id_hex"] = id_hex;
  return c;
}

json private_key(const json& id_hex, unsigned long key_type) {
  json k = {{"class", "private_key"}, {"key_type", key_type}};
  if (!id_hex.is_null()) k["id_hex"] = id_hex;
  return k;
}

json token(const std::string& label, const std::string& serial, const std::vector<json>& objects,
           unsigned long flags) {
  return {{"label", label}, {"serial", serial}, {"objects", objects}, {"flags", flags}};
}

json failure(const std::string& function, unsigned long rv, long call) {
  return {{"function", function}, {"rv", rv}, {"call", call}};
}

json slot(unsigned long id, const json& token_spec) { return {{"id", id}, {"token", token_spec}}; }

json empty_slot(unsigned long id) { return {{"id", id}}; }

std::string der_with_serial(const std::string& serial_hex, const std::string& filler_hex) {
  auto byte_hex = [](std::size_t n) {
    std::ostringstream s;
    s << std::hex;
    s.width(2);
    s.fill('0');
    s << n;
    return s.str();
  };
  std::string serial = "02" + byte_hex(serial_hex.size() / 2) + serial_hex;
  std::string version = "a003020102";
  std::string tbs_body = version + serial + filler_hex;
  std::string tbs = "30" + byte_hex(tbs_body.size() / 2) + tbs_body;
  return "30" + byte_hex(tbs.size() / 2) + tbs;
}

std::vector<std::string> calls_named(const std::vector<std::string>& log, const std::vector<std::string>& names) {
  std::vector<std::string> picked;
  for (const auto& line : log) {
    std::string name = line.substr(0, line.find(' '));
    if (std::find(names.begin(), names.end(), name) != names.end()) picked.push_back(name);
  }
  return picked;
}

long count_calls(const std::vector<std::string>& log, const std::string& name) {
  return static_cast<long>(calls_named(log, {name}).size());
}

long count_succeeded_calls(const std::vector<std::string>& log, const std::string& name) {
  return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
    return line.substr(0, line.find(' ')) == name && line.find(" failed=") == std::string::npos;
  });
}

std::string der(const std::string& tag, const std::string& content) {
  const std::size_t size = content.size() / 2;
  char length[32];
  if (size < 0x80)
    std::snprintf(length, sizeof length, "%02zx", size);
  else if (size < 0x100)
    std::snprintf(length, sizeof length, "81%02zx", size);
  else
    std::snprintf(length, sizeof length, "82%04zx", size);
  return tag + length + content;
}

std::string hex_of(std::string_view text) {
  return p11agent::hex_encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string attribute(const std::string& oid, const std::string& tag, const std::string& value_hex) {
  return der("31", der("30", der("06", oid) + der(tag, value_hex)));
}

std::string utf8_attribute(const std::string& oid, std::string_view value) { return attribute(oid, "0c", hex_of(value)); }

std::string cert_named(const std::string& issuer, const std::string& subject) {
  return der("30", der("30", "020101" "3000" + der("30", issuer) + "3000" + der("30", subject)));
}

std::string long_cyrillic_subject() {
  const std::string department = "\u0414\u0435\u043f\u0430\u0440\u0442\u0430\u043c\u0435\u043d\u0442 "
                                 "\u0446\u0438\u0444\u0440\u043e\u0432\u043e\u0433\u043e "
                                 "\u0440\u0430\u0437\u0432\u0438\u0442\u0438\u044f \u2116";
  std::string rdns = utf8_attribute("550405", "PNOUA-3456789012") + utf8_attribute(ORG_ID, "NTRUA-12345678") +
                     utf8_attribute(O, "\u0422\u041e\u0412 \u00ab\u041f\u0435\u0442\u0440\u043e\u0432 "
                                       "\u0456 \u043f\u0430\u0440\u0442\u043d\u0435\u0440\u0438\u00bb");
  for (int i = 1; i <= 14; ++i) rdns += utf8_attribute(OU, department + std::to_string(i));
  rdns += utf8_attribute("550409", "\u0432\u0443\u043b\u0438\u0446\u044f "
                                   "\u0425\u0440\u0435\u0449\u0430\u0442\u0438\u043a, 22, "
                                   "\u043a\u0432. 100% \u0432\u0438\u043a\u043e\u043d\u0430\u043d\u043e");
  rdns += utf8_attribute(CN, "\u041f\u0435\u0442\u0440\u0435\u043d\u043a\u043e \u041e\u043b\u0435\u043a\u0441\u0430"
                             "\u043d\u0434\u0440\u0430 \u0412\u043e\u043b\u043e\u0434\u0438\u043c\u0438\u0440"
                             "\u0456\u0432\u043d\u0430");
  return rdns;
}

}  // namespace testing_support
