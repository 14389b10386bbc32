// Shut-down destroys every pool without saving: only what HSave wrote survives.
HLoad("s", "s.pool")
HAdd("s", "kept", "yes")
HSave("s")
HAdd("s", "lost", "unsaved")
HAdd("s", "kept", "changed")
HLoad("other", "")
HAdd("other", "k", "v")
//! shutdown
// The functions are still registered, but no pool is open any more.
HGet("s", "kept")
HGet("other", "k")
HSave("s")
//! cat s.pool
// A fresh start finds the file as the last save left it.
//! ready
HLoad("s", "s.pool")
HGet("s", "kept")
HGet("s", "lost")
HAdd("s", "kept", "changed again")
// The same after unloading the module without a save: the registry starts empty.
//! shutdown
//! reload
HGet("s", "kept")
//! initialize
//! ready
HGet("s", "kept")
HLoad("s", "s.pool")
HGet("s", "kept")
//! cat s.pool
