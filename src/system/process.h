#pragma once
// The few things the agent needs from its own process: error mode, arguments, standard streams.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/secure_memory.h"

namespace p11agent::platform {

// Keeps the system from showing dialogs (missing media, crash boxes) to a user who never
// started the agent directly, and from writing the process's memory, which holds PINs, to
// a crash dump: a crash ends the process at once (Windows), and the process is not dumpable
// (Linux, where core dump collectors would keep the PIN silently). On Linux a closed
// standard output becomes a write error.
void set_process_error_mode();

// The arguments after the program name, as UTF-8.
std::vector<std::string> arguments(int argc, char** argv);

// The whole of standard input as bytes, in a buffer that is wiped when it goes. An absent
// or invalid handle reads as empty; std::nullopt means a read error.
std::optional<WipedString> read_stdin_to_end();

// Up to `capacity` bytes of standard input; 0 at end of input (or an unusable handle),
// std::nullopt on a read error.
std::optional<std::size_t> read_stdin_some(char* buffer, std::size_t capacity);

// Whether this process may run on more than one processor (its affinity, read once):
// waiting awake for another process's answer only pays where that process runs meanwhile.
bool runs_on_several_processors();

// Writes all bytes to standard output, unbuffered and untranslated ("\n" stays "\n").
bool write_stdout(std::string_view bytes);

// Ends the process at once, without running destructors or library detach code that a
// thread still inside a vendor module could race with.
[[noreturn]] void end_process_now(int status);

// What end_process_now says last, before the process ends (the trace's end line): handed
// over by whoever has something to say, which is above this layer.
void at_process_end(void (*last_words)(int status));

// The platform's part of end_process_now: the end itself, once the last words are said.
[[noreturn]] void exit_at_once(int status);

}  // namespace p11agent::platform
