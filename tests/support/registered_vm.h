// The fixture of the suites that call the script functions through the stand-in VM: a VM with the
// functions registered as the host's ready command registers them, and no pool open before or
// after each test.
#ifndef QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H
#define QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H

#include <gtest/gtest.h>

#include "api/host_api.h"
#include "host/sq_vm.h"
#include "plugin/register.h"
#include "pool/hash_pool_manager.h"

class RegisteredVm : public ::testing::Test {
   protected:
    void SetUp() override {
        CHashPoolManager::RemoveAll();
        quill::SquirrelApi() = CSqVm::Api();
        quill::ScriptVm() = m_vm.Handle();
        quill::RegisterFuncs(quill::ScriptVm());
    }
    void TearDown() override { CHashPoolManager::RemoveAll(); }

    CSqVm m_vm;
};

#endif
