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

// Certificates that say what they are for (valid 2026 to 2126):
// a P-256 certificate for qualified signatures: nonRepudiation, QcCompliance, QcSSCD, QcType esign.
const std::string QC_SIGNING_HEX =
    "308201d330820178a0030201020214770e94de54f673c67f8a7404742f32df3a08e095300a06082a8648ce3d04030230"
    "323119301706035504030c105175616c6966696564205369676e657231153013060355040a0c0c4578616d706c652051"
    "5453503020170d3236313231313039323334305a180f32313236313131373039323334305a3032311930170603550403"
    "0c105175616c6966696564205369676e657231153013060355040a0c0c4578616d706c6520515453503059301306072a"
    "8648ce3d020106082a8648ce3d03010703420004d065fcc1803ef8b14771c7b2d02d5925f15787f5e133e418fe510edb"
    "86e32e94bb5be2a13b619b5961ad033d1ace78a4ca2812429cc999e1b9ed51ffdf54e447a36a3068300e0603551d0f01"
    "01ff040403020640303706082b06010505070103042b30293008060604008e4601013008060604008e46010430130606"
    "04008e4601063009060704008e46010601301d0603551d0e04160414538b54dad03e858c0d1f67b0e4fd3eda074dcfdd"
    "300a06082a8648ce3d0403020349003046022100f12b8ca2ba743a9d7d27332dd6416f1a6724eb702b25fb86b77091c4"
    "a375d2450221008c0a2f78c300a653fdd6ad23b0d5835d680f19d9b46e93d87f0b9f31ed0c05c4";
// P-384, digitalSignature and clientAuth: for logging in.
const std::string LOGIN_P384_HEX =
    "308201b330820139a003020102021472f1baafbb51b5472331b78dceecec10960c19e3300a06082a8648ce3d04030230"
    "163114301206035504030c0b4c6f67696e20502d3338343020170d3236313231313039323334305a180f323132363131"
    "31373039323334305a30163114301206035504030c0b4c6f67696e20502d3338343076301006072a8648ce3d02010605"
    "2b8104002203620004f87282215bead679fd1651749ec8cd2554512ba3268e2a232ce409af8e6163a397ddc75d7fc26d"
    "82ad1aae1374cd205811bdc6ae62e852c40fb26c732528fae52c00b1acde9598407119aef5a422ca11fbf9711ec14326"
    "53faf07c042efe33d4a3463044300e0603551d0f0101ff04040302078030130603551d25040c300a06082b0601050507"
    "0302301d0603551d0e04160414d8673f9d432be775f7597ad716441e955e7c8c82300a06082a8648ce3d040302036800"
    "3065023100ec97422ee5c4a8cacf22a4d79870e069c811fda4a775768d3d29d7e273dfeb1994b4f13207e5d32df5e5b4"
    "974faa94a50230107f3cc40878079db5cc3aa10ce656da208aa824669ab7f5fe2624fd16f9d0d9e36feaad05c32aa2cb"
    "44c71f211c1649";
// RSA-2048, digitalSignature and clientAuth.
const std::string LOGIN_RSA_HEX =
    "308202fe308201e6a0030201020214661ab3b33fb463587f4521e8ca112802857e431a300d06092a864886f70d01010b"
    "050030143112301006035504030c094c6f67696e205253413020170d3236313231313039323334305a180f3231323631"
    "3131373039323334305a30143112301006035504030c094c6f67696e2052534130820122300d06092a864886f70d0101"
    "0105000382010f003082010a0282010100a05cde9f56117d43872da9cd7daae03ec7382a2aa0a367aa5fae80f116b2db"
    "02d221b7e3620f9bf26befb5148d6451dd89137794d75236b61b9e629386fa19c1e8afe2d3eecde60aca82caf85f2d15"
    "5dc140b828c83b7aac9d757ba59ed06d5dd883625ec790a1ef964ab7bda0a99b19b16869bec79c5b150e43dda25451bb"
    "bba1e6f47afb0a9ab25016ece522c8e777546546c06cbe8facfdf1f4d5f3ac53f23b29812c8f5bce485b85db7a04f8e0"
    "7c51525be4272145a7c5b5eb93b99421683a51511c566e02c1762bc8b24b65885308ee80e3c352f5c625598bf4649032"
    "7d6940dcd30ca3044f148960295ea68423c2e127243902eb280031320cf96c47030203010001a3463044300e0603551d"
    "0f0101ff04040302078030130603551d25040c300a06082b06010505070302301d0603551d0e0416041414e906747537"
    "5a8ed8b09f6b402d61ae1254a00d300d06092a864886f70d01010b050003820101009eee9808f79609579b44cd2027a1"
    "1bfc7ba65f0c25d83fa13f0b70171f895a550ef3aeefe9f52c3bc5f87c804264c18d3a3b96ff9cd15f6f8f5457ed28e9"
    "2f2f5bb78fda6f8540b8f582a78451d22c6790656a1c8c54906eb0001ea1391467efdc6f70ebf32ac4d692d9743d8391"
    "3cc93c3987ddc45676c18154b086182ea9035cbdb2f8164b39989c272ac0843d8f9835956775dff827530fbfa0ad39d5"
    "812f5e0c9a8e0e0ae4db83f1a726d5ab98b0b84234139347b60ee5b21aef277e74f76fea908b30cbebdc6fe3f451f487"
    "e034fa79ea82bc965fd35a8f7136adc707380e4ffd521fd7d6b52ef69e548372fa59048d50082f96f175dd56a353b71e"
    "7dd4";
// P-521, digitalSignature and clientAuth.
const std::string LOGIN_P521_HEX =
    "308201fe3082015fa00302010202142110fe3717c4857927d927fbedd678cacf20ebe2300a06082a8648ce3d04030230"
    "163114301206035504030c0b4c6f67696e20502d3532313020170d3236313231313039323334305a180f323132363131"
    "31373039323334305a30163114301206035504030c0b4c6f67696e20502d35323130819b301006072a8648ce3d020106"
    "052b81040023038186000401421b14a752d334a5f41b1068f6dba50a38459bf59ec318dad525d17b9baf2e63083f0730"
    "87a638810b3518c348ab9eabd31368d5338d180d5085c48dd62e4ef4920173d2f032a84d03a2f23f0f1d1f600f083cc9"
    "a705873f5f192af42c1e7c38e9f96b255989cedbc2e7a2180bc68dc9edfec43be365f988c9b30fa0e67c6bafa9ddcfa3"
    "463044300e0603551d0f0101ff04040302078030130603551d25040c300a06082b06010505070302301d0603551d0e04"
    "16041487e94d6428c2ac115fd6c2379b6355e3b901aee0300a06082a8648ce3d04030203818c00308188024200da6df9"
    "2d2c029b7400df5e2e5b0384ea8eafecff6e63523050dfa97de0eb3b603064b05f0662fa02ad89f35bb98645bad2d972"
    "d3c008324f8d913127c0cb13f5040242013cc3693233b4e0dd40a0a22d9526bc2517508c48c02f42eb61c172f5a05187"
    "c1b4af28a1fe195372b00374e9f000566803d9d0f7d70779acc0c15712ba2550abaa";
// P-256, digitalSignature and emailProtection (for neither), QcType eseal and web beside a PDS statement.
const std::string MAIL_SEAL_HEX =
    "308201c930820170a00302010202145e7af71fca2158d558e3b8560e385dc76a47ce32300a06082a8648ce3d04030230"
    "143112301006035504030c094d61696c205365616c3020170d3236313231313039323334305a180f3231323631313137"
    "3039323334305a30143112301006035504030c094d61696c205365616c3059301306072a8648ce3d020106082a8648ce"
    "3d030107034200047b599b1ec83009151474b68bc0720fb69a6053768ea993024ac0dce248e041bb51b89e0d624e4f65"
    "f9716f133400ab166f4fd033c4c249508b42bc4576c34e05a3819d30819a300e0603551d0f0101ff0404030207803013"
    "0603551d25040c300a06082b06010505070304305406082b06010505070103044830463026060604008e460105301c16"
    "1668747470733a2f2f7064732e6578616d706c652f656e1302656e301c060604008e4601063012060704008e46010602"
    "060704008e46010603301d0603551d0e04160414890bf4788160f27c841a1f45f9a1ea694308df81300a06082a8648ce"
    "3d040302034700304402200272855b105905bdbea388a2d6185052b68c733cd1a3f8f86d3c2c96c41b6dba02207a2ffb"
    "70d9def85df921cd49e42b0043427c4a9bcf1a1b3bee6da460e5e4de60";
// qualified statements that are not a SEQUENCE.
const std::string BAD_QC_HEX =
    "308201673082010ea0030201020214179a5dbe716020453dac265751b701e45efd6765300a06082a8648ce3d04030230"
    "11310f300d06035504030c064261642051433020170d3236313231313039323334305a180f3231323631313137303932"
    "3334305a3011310f300d06035504030c064261642051433059301306072a8648ce3d020106082a8648ce3d0301070342"
    "00040010499990f59cdc5fc87c368236e90da610cc06ab8735f75875a45003314f7221e2740ec61620952e3c4d43cdf7"
    "071b9b7a8823c2d9bd2f5e6b54f350a47f1ca3423040300e0603551d0f0101ff040403020780300f06082b0601050507"
    "010304030401ff301d0603551d0e041604149658cb92a5ed2c061020428fc52c8176902c9c87300a06082a8648ce3d04"
    "03020347003044022058ebf936852639a56f086aadca6f31887126f27617672a1b3b91fdbfdb9f6d260220520e423a46"
    "90eee0910ae2cb5afd53ec7346e62a3610e02356d0243be4d54280";

}  // namespace testing_support
