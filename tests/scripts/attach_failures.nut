//! options --no-ready
// Started without the ready command: nothing is registered until an attachment succeeds.
HLoad("p", "")
//! command 12345
HLoad("p", "")
//! globals
// Exports missing, counted as none, or a null first export: no functions. Only the first two
// print the failure line.
//! attach-fail no-exports
//! ready
HLoad("p", "")
//! attach-fail zero-count
//! ready
HLoad("p", "")
//! attach-fail null-export
//! ready
HLoad("p", "")
//! globals
// Once the script host answers, the next ready command attaches.
//! attach-fail off
//! ready
HLoad("p", "")
HAdd("p", "k", 1)
HGet("p", "k")
