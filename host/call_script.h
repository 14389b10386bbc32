// Reader of call scripts: one Squirrel call statement with literal arguments per line.
#ifndef QUILLSTORE_HOST_CALL_SCRIPT_H
#define QUILLSTORE_HOST_CALL_SCRIPT_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/sq_vm.h"

// Longest line the reader keeps; the rest of a longer line is read and dropped.
constexpr size_t CALL_LINE_MAX = 64 * 1024;
// Deepest nesting of array and table literals.
constexpr int CALL_NESTING_MAX = 32;

// One line of a call script.
struct CallLine {
    enum class EKind {
        Blank,      // nothing but white space
        Comment,    // a // comment that is no directive
        Directive,  // //! word operands...
        Call,       // name(arguments) or print(name(arguments)) or print(value) [;] [// comment]
        Error,      // none of the above
    };
    EKind eKind = EKind::Blank;
    std::string strName;              // Call: the function, empty for print(value);
                                      // Directive: the directive's word
    bool bPrint = false;              // Call: print what the call gives, or aArgs[0]
    std::vector<CSqValue> aArgs;      // Call: the arguments, in order
    std::vector<std::string> aWords;  // Directive: operands, string literals already unescaped
    std::vector<size_t> aColumns;     // Directive: 1-based byte column of each operand
    std::vector<bool> aQuoted;        // Directive: which operands were string literals
    std::string strError;             // Error: what is wrong
    size_t uiColumn = 0;              // Error: 1-based byte column where it went wrong;
                                      // Directive: the column of its word
};

// Gives the value of an identifier used as an argument (this, a global); false if unknown.
using IdentifierResolver = std::function<bool(std::string_view, CSqValue&)>;

// Parses one statement: a line without its line feed, or the lines of a split call joined. Never
// reads outside the line and never recurses deeper than CALL_NESTING_MAX; every input gives some
// CallLine. Arguments follow Squirrel's literal rules: escapes \t \a \b \n \r \v \f \0 \\ \" \' and
// \x with at most two hex digits, verbatim @"..." strings, decimal integers kept modulo 2^32, octal
// with a leading 0, hex with at most 8 digits, 'c' characters, floats rounded to 32 bits, true,
// false, null, [..], {..}, function(){}. Identifiers go to the resolver, if there is one.
CallLine ParseCallLine(std::string_view svLine, const IdentifierResolver& resolve = nullptr);

// What the VM's print writes for the value (no line feed): strings as they are up to a zero
// byte, floats with %g, other scalars as in transcripts, objects as (table), (array) ...
std::string PrintText(const CSqValue& value);

// True iff the line starts as a call does, with a function's name and '(': a line that may go on
// over the next ones.
bool StartsLikeCall(std::string_view svLine);

// Reads the next line of the stream into strLine, without its line feed, keeping at most
// CALL_LINE_MAX bytes (bTruncated tells). False at the end of the stream with nothing read.
bool ReadCallLine(std::FILE* pFile, std::string& strLine, bool& bTruncated);

// Removes a UTF-8 byte order mark from the start of the line; true iff there was one.
bool SkipByteOrderMark(std::string& strLine);

// The line as it can be shown on one transcript line: a final carriage return dropped, other
// control bytes as \xhh.
std::string EchoText(std::string_view svLine);

#endif
