// Allocation failures inside the built module, which carries its own C++ runtime and unwinder:
// the handler's failure result, the pool as it was, and a process that lives on. The program
// replaces malloc and realloc to refuse requests made from the module's code while armed.
#include <errno.h>
#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_api.h"
#include "host/sq_vm.h"
#include "host/stand_in_host.h"
#include "tests/support/files.h"

extern "C" void* __libc_malloc(size_t uiSize);
extern "C" void* __libc_realloc(void* p, size_t uiSize);

namespace {

bool s_bRefuse = false;
uintptr_t s_uiModuleStart = 0;
uintptr_t s_uiModuleEnd = 0;

bool FromModule(void* pCaller) {
    const auto uiCaller = reinterpret_cast<uintptr_t>(pCaller);
    return s_bRefuse && uiCaller >= s_uiModuleStart && uiCaller < s_uiModuleEnd;
}

}  // namespace

extern "C" void* malloc(size_t uiSize) {
    if (FromModule(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(uiSize);
}

extern "C" void* realloc(void* p, size_t uiSize) {
    if (FromModule(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, uiSize);
}

namespace {

int FindModule(dl_phdr_info* pInfo, size_t, void*) {
    const char* pszName = pInfo->dlpi_name;
    const size_t uiLen = std::strlen(pszName);
    constexpr std::string_view SUFFIX = "quillstore.so";
    if (uiLen < SUFFIX.size() || SUFFIX != pszName + uiLen - SUFFIX.size()) return 0;
    s_uiModuleStart = UINTPTR_MAX;
    for (ElfW(Half) i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = pInfo->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        const uintptr_t uiFrom = pInfo->dlpi_addr + segment.p_vaddr;
        s_uiModuleStart = std::min(s_uiModuleStart, uiFrom);
        s_uiModuleEnd = std::max(s_uiModuleEnd, uiFrom + segment.p_memsz);
    }
    return 1;
}

class ModuleAllocation : public testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(m_host.Load(QUILL_MODULE_PATH)) << m_host.Error();
        ASSERT_EQ(::dl_iterate_phdr(FindModule, nullptr), 1);
        int32_t iResult = 0;
        ASSERT_TRUE(m_host.InternalCommand(SCRIPT_HOST_READY, "", &iResult));
        ASSERT_EQ(Call("HLoad", {S("p"), S(m_dir.File("p.pool").c_str())}), "false");
    }
    void TearDown() override {
        s_bRefuse = false;
        m_host.Shutdown();
    }

    std::string Call(const std::string& strName, const std::vector<CSqValue>& aArgs) {
        const SqCallResult result = m_vm.Call(strName, aArgs);
        return result.bError ? "error: " + result.ErrorText() : result.value.Render();
    }
    // Like Call, with every allocation of the module refused.
    std::string Starved(const std::string& strName, const std::vector<CSqValue>& aArgs) {
        s_bRefuse = true;
        const std::string strResult = Call(strName, aArgs);
        s_bRefuse = false;
        return strResult;
    }
    // Every value by position, as a script walking the pool sees it.
    std::vector<std::string> Walk() {
        std::vector<std::string> a;
        for (SQInteger i = 0;; ++i) {
            const SqCallResult result = m_vm.Call("HGet", {S("p"), CSqValue::Integer(i)});
            if (result.bError || result.value.Type() == OT_NULL) break;
            a.push_back(result.value.Render());
        }
        return a;
    }

    static CSqValue S(const char* psz) { return CSqValue::String(psz); }

    CTempDir m_dir;
    CSqVm m_vm;
    CStandInHost m_host{m_vm};
};

TEST_F(ModuleAllocation, RefusedStoreGivesNullAndKeepsThePool) {
    ASSERT_EQ(Call("HAdd", {S("p"), S("k"), S("short")}), "true");
    const std::string strLong(300, 'v');
    const std::string strLongKey(300, 'k');
    const std::vector<std::string> aBefore = Walk();
    EXPECT_EQ(Starved("HAdd", {S("p"), S("k"), S(strLong.c_str())}), "null");
    EXPECT_EQ(Starved("HAdd", {S("p"), S(strLongKey.c_str()), S(strLong.c_str())}), "null");
    EXPECT_EQ(Walk(), aBefore);
    EXPECT_EQ(Call("HAdd", {S("p"), S("k"), S(strLong.c_str())}), "true");
    EXPECT_EQ(Call("HGet", {S("p"), S("k")}), "\"" + strLong + "\"");
}

TEST_F(ModuleAllocation, RefusedGrowthKeepsOrderAndBuckets) {
    for (int i = 0; i < 193; ++i) {
        const std::string strKey = "key" + std::to_string(i);
        ASSERT_EQ(Call("HAdd", {S("p"), S(strKey.c_str()), S("1")}), "true");
    }
    const std::vector<std::string> aBefore = Walk();
    // The 194th key makes the table grow before it is looked up.
    EXPECT_EQ(Starved("HInc", {S("p"), S("new")}), "null");
    EXPECT_EQ(Starved("HGet", {S("p"), S("new")}), "null");
    EXPECT_EQ(Walk(), aBefore);
    EXPECT_EQ(Call("HInc", {S("p"), S("new")}), "true");
    EXPECT_EQ(Walk().size(), aBefore.size() + 1);
}

TEST_F(ModuleAllocation, RefusedLoadAndSaveKeepEntriesAndFile) {
    const std::string strFile = m_dir.File("p.pool");
    ASSERT_TRUE(WriteWholeFile(strFile, "a\n1\nb\n2\n"));
    ASSERT_EQ(Call("HAdd", {S("p"), S("c"), S("3")}), "true");
    EXPECT_EQ(Starved("HLoad", {S("p"), S(strFile.c_str())}), "false");
    EXPECT_EQ(Walk(), std::vector<std::string>{"3"});
    EXPECT_EQ(Starved("HSave", {S("p")}), "false");
    std::string strContents;
    EXPECT_TRUE(ReadWholeFile(strFile, strContents));
    EXPECT_EQ(strContents, "a\n1\nb\n2\n");
    EXPECT_EQ(Call("HSave", {S("p")}), "true");
    EXPECT_TRUE(ReadWholeFile(strFile, strContents));
    EXPECT_EQ(strContents, "c\n3\n");
}

TEST_F(ModuleAllocation, RefusedRegistryGrowthGivesNoPool) {
    EXPECT_EQ(Starved("HLoad", {S("q"), S(m_dir.File("q.pool").c_str())}), "false");
    EXPECT_EQ(Call("HSave", {S("q")}), "null");
    EXPECT_EQ(Call("HLoad", {S("q"), S(m_dir.File("q.pool").c_str())}), "false");
    EXPECT_EQ(Call("HAdd", {S("q"), S("k"), S("v")}), "true");
}

}  // namespace
