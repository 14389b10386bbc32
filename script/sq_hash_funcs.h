// The native functions through which scripts use pools.
#ifndef QUILLSTORE_SCRIPT_SQ_HASH_FUNCS_H
#define QUILLSTORE_SCRIPT_SQ_HASH_FUNCS_H

#include "api/host_api.h"

// Each handler reads its arguments from stack position 2 on and returns 1 with its result on
// top of the stack, or 0 when the script is to receive null. None raises a script error.
class CSQHashFuncs {
   public:
    // HLoad(name, path): binds the pool (created if needed) to the path and loads it; false on
    // failure, also when a new pool was created but its file did not load.
    static SQInteger Load(HSQUIRRELVM vm);
    // HSave(name): the save's flag; null without an open pool.
    static SQInteger Save(HSQUIRRELVM vm);
    // HClose(name): true once the pool is destroyed unsaved; null without an open pool.
    static SQInteger Close(HSQUIRRELVM vm);
    // HAdd(name, key, value): value a string, integer ("%i") or float ("%f"); true, or null.
    static SQInteger Add(HSQUIRRELVM vm);
    // HGet(name, key or position): null for an empty value, an integer for digits, else the
    // string cut to 511 bytes; null on failure.
    static SQInteger Get(HSQUIRRELVM vm);
    // HInc/HDec(name, key[, amount]): true for an open pool whatever the counter did; null else.
    static SQInteger Inc(HSQUIRRELVM vm);
    static SQInteger Dec(HSQUIRRELVM vm);
    // HDel(name, key): true for an open pool; null without one.
    static SQInteger Del(HSQUIRRELVM vm);

    // The four that only look, never entering a key or a name, and whose arguments the VM checks.
    // HCount(name): how many entries the pool holds, every one counted; null without an open pool.
    static SQInteger Count(HSQUIRRELVM vm);
    // HHas(name, key): true iff the key is in the pool, whatever its value; null without an open
    // pool.
    static SQInteger Has(HSQUIRRELVM vm);
    // HKey(name, position): the key at that position of HGet's order, whole; null below zero, past
    // the end or without an open pool.
    static SQInteger Key(HSQUIRRELVM vm);
    // HError(name): why the pool's last HLoad or HSave failed, as one line; null when it
    // succeeded, when the pool made none, or without an open pool. Never enters the name.
    static SQInteger LastError(HSQUIRRELVM vm);
};

#endif
