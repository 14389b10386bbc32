// The text of a pool entry's value: short texts live inside the object, longer ones in one
// heap block of their own.
#ifndef QUILLSTORE_POOL_POOL_VALUE_H
#define QUILLSTORE_POOL_POOL_VALUE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "pool/bytes.h"

// Scripts mostly store counters and short names, so a value of up to INLINE_MAX bytes costs
// nothing beyond the object: two pointers' worth of bytes, against 32 for a std::string. Like
// every key and value of a pool, the text holds no zero byte and is always zero-terminated.
class CPoolValue {
   public:
    static constexpr size_t SIZE = sizeof(char*) + 8;
    static constexpr size_t INLINE_MAX = SIZE - 1;

    CPoolValue() noexcept { SetInline(0); }
    // A copy of the text. Throws std::bad_alloc.
    explicit CPoolValue(std::string_view svText) {
        SetInline(0);
        Assign(svText);
    }
    CPoolValue(CPoolValue&& other) noexcept {
        std::memcpy(m_aBytes, other.m_aBytes, SIZE);
        other.SetInline(0);
    }
    CPoolValue& operator=(CPoolValue&& other) noexcept {
        if (this != &other) {
            Release();
            std::memcpy(m_aBytes, other.m_aBytes, SIZE);
            other.SetInline(0);
        }
        return *this;
    }
    CPoolValue(const CPoolValue&) = delete;
    CPoolValue& operator=(const CPoolValue&) = delete;
    ~CPoolValue() { Release(); }

    // Replaces the text by a copy of svText. Throws std::bad_alloc with the old text kept.
    void Assign(std::string_view svText) {
        if (svText.size() <= INLINE_MAX) {
            // The source may be this value's own text, so all of it is read before the release.
            char aCopy[INLINE_MAX];
            bytes::CopyBytes(aCopy, svText.data(), svText.size());
            Release();
            bytes::CopyBytes(reinterpret_cast<char*>(m_aBytes), aCopy, svText.size());
            SetInline(svText.size());
            return;
        }
        if (svText.size() >= UINT32_MAX) throw std::bad_alloc();
        char* pText = new char[svText.size() + 1];
        std::memcpy(pText, svText.data(), svText.size());
        pText[svText.size()] = '\0';
        Release();
        const uint32_t uiLen = static_cast<uint32_t>(svText.size());
        std::memcpy(m_aBytes, &pText, sizeof(pText));
        std::memcpy(m_aBytes + sizeof(pText), &uiLen, sizeof(uiLen));
        m_aBytes[TAG] = HEAP_TAG;
    }
    CPoolValue& operator=(std::string_view svText) {
        Assign(svText);
        return *this;
    }

    // The zero-terminated text; valid until the value changes or moves.
    const char* CStr() const {
        return IsHeap() ? HeapText() : reinterpret_cast<const char*>(m_aBytes);
    }
    size_t Size() const {
        if (!IsHeap()) return INLINE_MAX - m_aBytes[TAG];
        uint32_t uiLen;
        std::memcpy(&uiLen, m_aBytes + sizeof(char*), sizeof(uiLen));
        return uiLen;
    }
    bool Empty() const { return m_aBytes[TAG] == INLINE_MAX; }
    operator std::string_view() const { return std::string_view(CStr(), Size()); }
    // A copy of its own, for callers that keep the text beyond the next change to the table.
    operator std::string() const { return std::string(CStr(), Size()); }

    friend bool operator==(const CPoolValue& value, std::string_view svText) {
        return std::string_view(value) == svText;
    }

   private:
    // The last byte tells the two forms apart. Inline, it holds INLINE_MAX minus the length, so
    // a text of INLINE_MAX bytes ends in the zero byte it needs. On the heap: the pointer, the
    // 32-bit length and HEAP_TAG.
    static constexpr size_t TAG = SIZE - 1;
    static constexpr unsigned char HEAP_TAG = 0xFF;

    bool IsHeap() const { return m_aBytes[TAG] == HEAP_TAG; }
    char* HeapText() const {
        char* pText;
        std::memcpy(&pText, m_aBytes, sizeof(pText));
        return pText;
    }
    void SetInline(size_t uiLen) {
        m_aBytes[uiLen] = 0;
        m_aBytes[TAG] = static_cast<unsigned char>(INLINE_MAX - uiLen);
    }
    void Release() {
        if (IsHeap()) delete[] HeapText();
        SetInline(0);
    }

    alignas(char*) unsigned char m_aBytes[SIZE];
};

#endif
