// An emulated smart card in a virtual reader: libcacard answers the card's APDUs from
// a key and certificate in an NSS database, and this program carries them between it
// and vpcd (the virtual reader driver of pcscd) over a TCP connection to 127.0.0.1.
//
// SIGUSR1 pulls the card out (the connection closes), SIGUSR2 puts it back (the
// program connects again and the card powers up logged out). When the reader goes away
// (pcscd restarted) the program keeps connecting until it is back.
//
// libcacard answers a wrong PIN with 69 85 and never blocks; a real card answers 63 Cx
// (x tries left) and 69 83 once blocked. This program keeps the count itself so the
// card behaves like a real one, or with --raw-pin-answers passes libcacard's answers
// through (a card whose middleware reports a wrong PIN as a general error). Either way
// it logs every PIN check to standard output, one line each:
//   pin accepted | pin wrong, N tries left | pin blocked | pin tries asked, N left
//
// usage: p11agent_test_card --db DIR --cert NICKNAME [--port N] [--raw-pin-answers]
#include <libcacard.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int PIN_TRIES = 3;
constexpr std::uint8_t INS_VERIFY = 0x20;
constexpr int RECONNECT_MS = 50;

struct Options {
  std::string db;
  std::string cert;
  std::uint16_t port = 35963;
  bool raw_pin_answers = false;
};

std::optional<Options> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string const arg = argv[i];
    bool const has_value = i + 1 < argc;
    if (arg == "--db" && has_value) {
      options.db = argv[++i];
    } else if (arg == "--cert" && has_value) {
      options.cert = argv[++i];
    } else if (arg == "--port" && has_value) {
      options.port = static_cast<std::uint16_t>(std::stoi(argv[++i]));
    } else if (arg == "--raw-pin-answers") {
      options.raw_pin_answers = true;
    } else {
      return std::nullopt;
    }
  }
  if (options.db.empty() || options.cert.empty()) return std::nullopt;
  return options;
}

[[gnu::format(printf, 1, 2)]] void say(char const* format, ...) {
  va_list values;
  va_start(values, format);
  std::vprintf(format, values);
  va_end(values);
  std::putchar('\n');
  std::fflush(stdout);
}

using Bytes = std::vector<std::uint8_t>;

// The card behind the reader: libcacard's virtual reader with its card, the ATR it
// powered up with, and the PIN try counter a real card would keep.
class Card {
 public:
  Card(VReader* reader, bool raw_pin_answers) : reader_(reader), raw_pin_answers_(raw_pin_answers) {
    atr_.resize(64);
    int length = static_cast<int>(atr_.size());
    vreader_power_on(reader_, atr_.data(), &length);
    atr_.resize(static_cast<std::size_t>(length));
  }

  Bytes const& atr() const { return atr_; }
  void power_off() { vreader_power_off(reader_); }
  void power_on() {
    std::array<std::uint8_t, 64> atr{};
    int length = static_cast<int>(atr.size());
    vreader_power_on(reader_, atr.data(), &length);
  }

  Bytes answer(Bytes command) {
    bool const is_verify = command.size() >= 4 && command[1] == INS_VERIFY;
    if (!is_verify) return transfer(command);
    bool const carries_pin = command.size() > 5;
    if (!raw_pin_answers_ && tries_left_ == 0) {
      // Only a PIN counts: middleware asks for the state too (OpenSC at every C_GetTokenInfo).
      if (carries_pin)
        say("pin blocked");
      else
        say("pin tries asked, 0 left");
      return {0x69, 0x83};
    }
    Bytes response = transfer(command);
    bool const accepted = status_of(response) == 0x9000;
    if (!carries_pin) {
      // A check without a PIN asks for the state: verified, or the tries left.
      if (accepted || raw_pin_answers_) return response;
      say("pin tries asked, %d left", tries_left_);
      return tries_answer();
    }
    if (accepted) {
      tries_left_ = PIN_TRIES;
      say("pin accepted");
      return response;
    }
    tries_left_ = tries_left_ > 0 ? tries_left_ - 1 : 0;
    say("pin wrong, %d tries left", tries_left_);
    return raw_pin_answers_ ? response : tries_answer();
  }

 private:
  static unsigned status_of(Bytes const& response) {
    if (response.size() < 2) return 0;
    return static_cast<unsigned>(response[response.size() - 2] << 8 | response.back());
  }

  Bytes tries_answer() const {
    if (tries_left_ == 0) return {0x69, 0x83};
    return {0x63, static_cast<std::uint8_t>(0xC0 | tries_left_)};
  }

  Bytes transfer(Bytes& command) {
    Bytes response(APDU_BUFFER);
    int length = static_cast<int>(response.size());
    if (vreader_xfr_bytes(reader_, command.data(), static_cast<int>(command.size()), response.data(), &length) !=
        VREADER_OK) {
      return {0x6F, 0x00};
    }
    response.resize(static_cast<std::size_t>(length));
    return response;
  }

  static constexpr std::size_t APDU_BUFFER = 65536 + 2;
  VReader* reader_;
  bool raw_pin_answers_;
  int tries_left_ = PIN_TRIES;
  Bytes atr_;
};

VReader* start_emulation(Options const& options) {
  std::string const args = "db=\"sql:" + options.db + "\" use_hw=no soft=(,p11agent test card,CAC,," + options.cert + ")";
  if (vcard_emul_init(vcard_emul_options(args.c_str())) != VCARD_EMUL_OK) return nullptr;
  VReaderList* readers = vreader_get_reader_list();
  VReaderListEntry* first = vreader_list_get_first(readers);
  VReader* reader = first != nullptr ? vreader_reference(vreader_list_get_reader(first)) : nullptr;
  vreader_list_delete(readers);
  return reader;
}

// The reader's end: frames of a 2-byte big-endian length and the bytes.
class ReaderLink {
 public:
  ~ReaderLink() { close(); }
  bool connected() const { return socket_ >= 0; }
  int fd() const { return socket_; }

  bool connect_to(std::uint16_t port) {
    int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return false;
    }
    // Without these every APDU waits for a delayed acknowledgement (about 40 ms).
    int const on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    socket_ = fd;
    return true;
  }

  void close() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }

  std::optional<Bytes> receive() {
    std::array<std::uint8_t, 2> length{};
    if (!read_all(length.data(), length.size())) return std::nullopt;
    Bytes frame(static_cast<std::size_t>(length[0] << 8 | length[1]));
    if (!read_all(frame.data(), frame.size())) return std::nullopt;
    return frame;
  }

  bool send(Bytes const& frame) {
    Bytes out{static_cast<std::uint8_t>(frame.size() >> 8), static_cast<std::uint8_t>(frame.size() & 0xFF)};
    out.insert(out.end(), frame.begin(), frame.end());
    return ::send(socket_, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }

 private:
  // The reader writes a frame's length and its bytes apart and waits for the first to be
  // acknowledged before it sends the second; the kernel turns quick acknowledgements off
  // again by itself, so they are asked for before every read.
  void quick_ack() const {
    int const on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }

  bool read_all(std::uint8_t* into, std::size_t count) {
    while (count > 0) {
      quick_ack();
      ssize_t const got = ::recv(socket_, into, count, 0);
      if (got <= 0) return false;
      into += got;
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int socket_ = -1;
};

enum Control : std::uint8_t { POWER_OFF = 0, POWER_ON = 1, RESET = 2, GET_ATR = 4 };

// One frame from the reader: a control code or an APDU. False when the link failed.
bool serve_frame(ReaderLink& link, Card& card, Bytes const& frame) {
  if (frame.size() != 1) return link.send(card.answer(frame));
  switch (frame[0]) {
    case POWER_OFF:
      card.power_off();
      return true;
    case POWER_ON:
      card.power_on();
      return true;
    case RESET:
      card.power_off();
      card.power_on();
      return true;
    case GET_ATR:
      return link.send(card.atr());
    default:
      return true;
  }
}

int signal_descriptor() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_CLOEXEC);
}

// What a signal asks for; false to end the program.
bool take_signal(int signals, ReaderLink& link, Card& card, bool& inserted) {
  signalfd_siginfo info{};
  if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return true;
  if (info.ssi_signo == SIGUSR1 && inserted) {
    link.close();
    card.power_off();
    inserted = false;
    say("card pulled out");
  } else if (info.ssi_signo == SIGUSR2 && !inserted) {
    inserted = true;
    say("card put back");
  }
  return info.ssi_signo == SIGUSR1 || info.ssi_signo == SIGUSR2;
}

void drain_events() {
  while (VEvent* event = vevent_get_next_vevent()) vevent_delete(event);
}

int run(Options const& options) {
  VReader* reader = start_emulation(options);
  if (reader == nullptr) {
    std::fprintf(stderr, "the card could not be emulated from %s (certificate %s)\n", options.db.c_str(),
                 options.cert.c_str());
    return 1;
  }
  Card card(reader, options.raw_pin_answers);
  ReaderLink link;
  int const signals = signal_descriptor();
  bool inserted = true;
  for (;;) {
    drain_events();
    if (inserted && !link.connected() && link.connect_to(options.port)) say("card in the reader");
    std::array<pollfd, 2> waits{pollfd{signals, POLLIN, 0}, pollfd{link.fd(), POLLIN, 0}};
    int const timeout = inserted && !link.connected() ? RECONNECT_MS : -1;
    if (poll(waits.data(), link.connected() ? 2 : 1, timeout) < 0) continue;
    if ((waits[0].revents & POLLIN) != 0 && !take_signal(signals, link, card, inserted)) break;
    if (!link.connected() || (waits[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    std::optional<Bytes> frame = link.receive();
    if (!frame || !serve_frame(link, card, *frame)) {
      link.close();
      card.power_off();
      say("reader gone");
    }
  }
  vreader_free(reader);
  vcard_emul_finalize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> const options = parse_options(argc, argv);
  if (!options) {
    std::fprintf(stderr, "usage: %s --db DIR --cert NICKNAME [--port N] [--raw-pin-answers]\n", argv[0]);
    return 2;
  }
  return run(*options);
}
