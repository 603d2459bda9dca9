// The command line of both programs: their options, the device operand and its check, "AUTO", the
// candidate ports of discovery and the help texts. The console program takes [IGNORED] [DEVICE], the
// service entry exactly one DEVICE; each refuses a wrong command line in its own words and status.
#pragma once

#include <string>

namespace cmdline {

enum class TProgram { kConsole, kService };

// The device named on the command line fits in this many characters.
constexpr std::size_t kMaxDevice = 99;

// Candidate devices for discovery, in the order they are tried; the help texts and the service's
// status line are written from the same list.
constexpr int kCandidates = 10;
extern const char* const kCandidatePorts[kCandidates];
// "/dev/ttyUSB0 to /dev/ttyUSB4, then /dev/ttyS0 to /dev/ttyS4", or with bShort
// "/dev/ttyUSB0-4 and /dev/ttyS0-4".
std::string CandidatesText(bool bShort);

// "AUTO" or "auto": port discovery.
bool IsAuto(const char* pDevice) noexcept;

// kPrintKey, kTellRestart: the service entry's --print-key and --tell-restart (the program itself
// answers them).
enum class TAction { kRun, kHelp, kVersion, kPrintKey, kTellRestart, kUnknownOption, kWrongCount, kTooLong };
struct TCommandLine {
  TAction action = TAction::kRun;
  const char* pDevice = "AUTO";     // kRun: the device, at most kMaxDevice characters
  const char* pArgument = nullptr;  // kUnknownOption: the option
};
TCommandLine Parse(TProgram program, int argc, char* argv[]) noexcept;

// Does what a command line other than kRun asks (help, version, or the refusal of a wrong one, on
// standard output or error as the program has always said it) and returns the exit status.
int Answer(TProgram program, const TCommandLine& commandLine) noexcept;

}  // namespace cmdline
