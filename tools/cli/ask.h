// Questions trevik-cli puts to the person at the terminal.
//
// A question goes where that person reads it: standard error when it is a
// terminal, else the terminal itself (/dev/tty), so `update FILE 2>log`
// still shows it. The answer comes from standard input when it is a
// terminal, else from the terminal itself. A run whose three standard
// streams all lead elsewhere is a script's: nobody is asked there, whether
// or not the process still has a terminal.
#pragma once

#include <string>

// Whether a question can be put to someone: standard input is a terminal,
// or standard output or standard error is one and /dev/tty opens.
bool cli_can_ask();

// Shows text as given (no newline added) and reads one line of answer into
// *answer (without its newline). Returns false, *answer empty, when no
// terminal can be reached or the input ended before a line.
bool cli_ask(const std::string& text, std::string* answer);

// A yes/no question: true for "y", "Y" or "yes"; false for anything else,
// the end of input or no terminal.
bool cli_ask_yes(const std::string& text);
