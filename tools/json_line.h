// quillstore's JSON Lines: one line as load-json reads it (the whole line's syntax checked, with
// the byte where it goes wrong and what is wrong in our words, and the members of its object
// kept), and the string literals dump --json writes.
#ifndef QUILLSTORE_TOOLS_JSON_LINE_H
#define QUILLSTORE_TOOLS_JSON_LINE_H

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace quill {

// The UTF-8 text as a JSON string literal, quotes included: '"' and '\\' escaped, the control
// bytes below 0x20 as \b, \f, \n, \r, \t or \u00xx, every other byte as it is.
// REQUIRES: the text is valid UTF-8.
std::string JsonString(std::string_view svUtf8);

class CJsonLine {
   public:
    enum class EKind { String, Integer, Float, Other };
    // A member of the line's object. strText is a string's bytes, escapes decoded, or a number
    // as written; empty for other values.
    struct Member {
        size_t uiNameOffset;
        size_t uiValueOffset;
        EKind eKind;
        std::string strText;
    };
    // Nesting deeper than this is refused rather than followed.
    static constexpr size_t MAX_DEPTH = 512;

    // True iff the line (without its line feed) is one JSON object and nothing else but blanks,
    // every number in it fits a double, and no member name of the object occurs twice. On false
    // ErrorOffset and Error tell the first byte that is wrong and why.
    bool Parse(std::string_view svLine);
    size_t ErrorOffset() const { return m_uiErrorOffset; }
    const std::string& Error() const { return m_strError; }
    // The byte where the line's object begins.
    size_t ObjectOffset() const { return m_uiObjectOffset; }
    // The object's member of that name, or null. Valid until the next Parse.
    const Member* Find(const std::string& strName) const;

   private:
    bool Fail(size_t uiOffset, std::string strMessage);
    bool FailExpected(const char* pszWhat);
    void SkipBlanks();
    bool Value(size_t uiDepth, EKind& eKind, std::string& strText);
    bool Object(size_t uiDepth, bool bTop);
    bool Array(size_t uiDepth);
    bool String(std::string& strText);
    bool Escape(std::string& strText);
    bool Number(EKind& eKind, std::string& strText);
    bool Word();

    std::string_view m_sv;
    size_t m_uiPos = 0;
    size_t m_uiObjectOffset = 0;
    size_t m_uiErrorOffset = 0;
    std::string m_strError;
    std::map<std::string, Member> m_Members;
};

}  // namespace quill

#endif
