// A stand-in VM with the script functions registered as the host's ready command registers them:
// the one setup of every test suite, fuzzer and benchmark that calls the script functions.
#ifndef QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H
#define QUILLSTORE_TESTS_SUPPORT_REGISTERED_VM_H

#include "api/host_api.h"
#include "host/sq_vm.h"
#include "plugin/register.h"
#include "pool/hash_pool_manager.h"

// The plug-in reaches this VM through the host's pointers while it lives; every pool is closed
// when it is made and when it goes, and the pointers are cleared. One lives at a time; a
// test fixture that holds one as a member starts and ends each test with no pool open.
class CRegisteredVm : public CSqVm {
   public:
    CRegisteredVm() {
        CHashPoolManager::RemoveAll();
        quill::SquirrelApi() = CSqVm::Api();
        quill::ScriptVm() = Handle();
        quill::RegisterFuncs(quill::ScriptVm());
    }
    ~CRegisteredVm() {
        CHashPoolManager::RemoveAll();
        quill::SquirrelApi() = nullptr;
        quill::ScriptVm() = nullptr;
    }
};

#endif
