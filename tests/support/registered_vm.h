// The fixture of the suites that call the script functions through the stand-in VM: a VM with the
// functions registered as the host's ready command registers them, and no pool open before or
// after each test.
#ifndef QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H
#define QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H

#include <gtest/gtest.h>

#include "host/sq_vm.h"
#include "plugin/host_api.h"
#include "plugin/register.h"
#include "pool/hash_pool_manager.h"

class RegisteredVm : public ::testing::Test {
   protected:
    void SetUp() override {
        CHashPoolManager::RemoveAll();
        sq = CSqVm::Api();
        v = m_vm.Handle();
        quill::RegisterFuncs(v);
    }
    void TearDown() override { CHashPoolManager::RemoveAll(); }

    CSqVm m_vm;
};

#endif
