// The one script-function case that only an ELF binary can get wrong: a symbol of the C library
// that shares its name with one of the module's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pool/hash_pool_manager.h"
#include "tests/support/files.h"
#include "tests/support/registered_vm.h"

// The host's shutdown callback is the module's own: in a binary that links the module's code,
// shutdown(2) still closes a socket and leaves the pools open.
TEST(ScriptFuncsOnElf, TheCLibrarysShutdownIsNotTheHostCallback) {
    CRegisteredVm vm;
    CTempDir dir;
    ASSERT_EQ(vm.Call("HLoad", {CSqValue::String("p"), CSqValue::String(dir.File("p.pool"))})
                  .value.Render(),
              "false");
    ASSERT_EQ(vm.Call("HAdd", {CSqValue::String("p"), CSqValue::String("k"), CSqValue::String("v")})
                  .value.Render(),
              "true");
    int aSockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, aSockets), 0);
    EXPECT_EQ(shutdown(aSockets[0], SHUT_WR), 0);
    char c = 0;
    EXPECT_EQ(read(aSockets[1], &c, 1), 0) << "the peer sees the end of the stream";
    close(aSockets[0]);
    close(aSockets[1]);
    EXPECT_EQ(vm.Call("HGet", {CSqValue::String("p"), CSqValue::String("k")}).value.Render(),
              "\"v\"");
    EXPECT_EQ(CHashPoolManager::OpenCount(), 1u);
}
