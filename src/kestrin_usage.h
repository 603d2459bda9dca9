// What both programs' --help say alike.
#pragma once

namespace usage {

// Prints to standard output what the bridge does, then pOwnLines (the program's own sentences, each
// line ending in '\n'), then the operand and options both programs take, each part followed by a blank
// line.
void PrintDescription(const char* pOwnLines) noexcept;

}  // namespace usage
