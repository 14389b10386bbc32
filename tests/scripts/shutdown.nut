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
// A restart without a save: the functions are registered again and the registry starts empty.
// Shutdown was delivered already, so the restart does not deliver it twice.
//! shutdown
//! reload
HGet("s", "kept")
HLoad("s", "s.pool")
HGet("s", "kept")
//! cat s.pool
// A restart of a running module delivers shutdown first, as a host does.
//! reload
HGet("s", "kept")
