// Standard output of the tools. Text (labels and messages) and raw bytes (the
// transcript's hexadecimal items, arguments as the user typed them) go out through one
// stream, in the order they are written. Each platform has its own file behind this.
#pragma once

#include <cstdio>
#include <string_view>

// Selects the user's default locale and, from it, the output encoding: the locale's own
// when it can encode every text the tools print, UTF-8 otherwise. Called first thing.
void StartConsole();

// Writes text in the output encoding.
void WriteText(std::wstring_view text);

// Writes bytes as they are.
void WriteBytes(std::string_view bytes);

// Writes text the system or the user gave (device paths and strings, arguments, file
// names, command-file words), which the tools carry as UTF-8 where the system gives wide
// text: as it is where the system gives bytes, in the output encoding where it gives
// wide text.
void WriteUtf8(std::string_view text);

// Opens the named file for reading bytes, the name as the arguments carry it (UTF-8 on
// Windows, so that any name opens); errno says why when it gives back nothing.
std::FILE* OpenFileForReading(const char* name);

// Pushes everything written so far out to standard output.
void FlushConsole();

// True once anything written to standard output has been lost (a full disk, a closed
// stream): a session sends nothing more whose report could not reach its reader.
bool OutputLost();

// Reads standard input as bytes, with no line-end translation.
void UseBinaryStandardInput();

// From now on notes (what the search says of the devices it passes over) go to
// standard error, so that standard output holds nothing but the report (--json).
void SendNotesToStandardError();

// Writes a note, a line of bytes, to standard output (flushed) or standard error.
void WriteNote(std::string_view line);

// Ends the run's output. Flushes it and gives back status, unless anything written to
// standard output was lost on the way (a full disk, a closed stream): then it prints
// "PROGRAM: cannot write standard output: REASON" on standard error and gives back
// kExitOutputLost, so that a caller never takes a missing report for a good one.
int FinishConsole(std::string_view program, int status);
