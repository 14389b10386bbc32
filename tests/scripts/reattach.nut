// The ready command again: the functions are registered anew, one closure per name, and the
// open pools stay as they were.
HLoad("keep", "")
HAdd("keep", "k", "v")
//! globals
//! ready
//! globals
HGet("keep", "k")
HAdd("keep", "n", 1)
// Other internal commands, with or without text, are ignored and answer 1.
//! command 12345
//! command 0x7D6E22D9
//! command 0 "SCRIPT_HOST_READY"
//! command 0xFFFFFFFF
//! globals
HGet("keep", "k")
HInc("keep", "n")
HGet("keep", "n")
// A ready command whose attachment fails leaves the earlier registration working.
//! attach-fail no-exports
//! ready
//! attach-fail null-export
//! ready
HGet("keep", "n")
