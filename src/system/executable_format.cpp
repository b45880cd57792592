#include "system/executable_format.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace p11agent::platform {

namespace {

std::uint32_t little_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// PE: "MZ", the offset of "PE\0\0" at 0x3C, the COFF header's machine after it.
ModuleMachine pe_machine(std::ifstream& file) {
  unsigned char offset[4];
  if (!file.seekg(0x3C).read(reinterpret_cast<char*>(offset), 4)) return {Machine::Unknown, ""};
  unsigned char header[6];
  if (!file.seekg(little_endian(offset, 4)).read(reinterpret_cast<char*>(header), 6) || header[0] != 'P' ||
      header[1] != 'E' || header[2] != 0 || header[3] != 0)
    return {Machine::Unknown, ""};
  switch (little_endian(header + 4, 2)) {
    case 0x8664: return {Machine::Native, "x86-64"};
    case 0x014C: return {Machine::X86, "i386"};
    case 0x01C4: return {Machine::Bits32, "ARM"};
    case 0xAA64: return {Machine::Other, "ARM64"};
    default: return {Machine::Other, "PE machine " + std::to_string(little_endian(header + 4, 2))};
  }
}

// ELF: its class (32 or 64 bits), byte order and e_machine.
ModuleMachine elf_machine(const std::array<unsigned char, 20>& header) {
  const bool big_endian = header[5] == 2;
  const unsigned machine = big_endian ? header[18] << 8 | header[19] : header[18] | header[19] << 8;
  if (header[4] == 1 && machine == 3) return {Machine::X86, "i386"};
  if (header[4] == 1) return {Machine::Bits32, machine == 40 ? "ARM" : "32-bit ELF"};
  if (machine == 62) return {Machine::Native, "x86-64"};
  return {Machine::Other, machine == 183 ? "ARM64" : "ELF machine " + std::to_string(machine)};
}

}  // namespace

ModuleMachine read_module_machine(const std::string& path) {
  // UTF-8, also on Windows.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  std::error_code error;
  const auto type = std::filesystem::status(name, error).type();
  if (!error && type != std::filesystem::file_type::regular && type != std::filesystem::file_type::not_found)
    return {Machine::NotAFile, "not a regular file"};
  std::ifstream file(name, std::ios::binary);
  std::array<unsigned char, 20> header{};
  if (!file.read(reinterpret_cast<char*>(header.data()), header.size())) return {Machine::Unknown, ""};
  if (header[0] == 'M' && header[1] == 'Z') return pe_machine(file);
  if (header[0] == 0x7F && header[1] == 'E' && header[2] == 'L' && header[3] == 'F') return elf_machine(header);
  return {Machine::Unknown, ""};
}

std::string wrong_machine_text(const ModuleMachine& machine) {
  if (machine.machine == Machine::NotAFile) return "not a regular file (a FIFO, a device or a folder): not a module";
  if (machine.machine == Machine::X86 || machine.machine == Machine::Bits32) return "32-bit; p11agent is 64-bit: install the vendor's 64-bit module";
  if (machine.machine == Machine::Other)
    return "built for " + machine.name + "; p11agent is x86-64: install the vendor's module for x86-64";
  return "";
}

}  // namespace p11agent::platform
