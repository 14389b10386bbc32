// Pool files written by hand and read back by HLoad, then one written by HSave.
//! write blank-lines.pool "a\n1\n\n\nb\n2\n"
HLoad("f", "blank-lines.pool")
HGet("f", 0)
HGet("f", 1)
HGet("f", 2)
// A key that comes again keeps its first place and takes the later value.
//! write twice.pool "k\nfirst\nj\nj1\nk\nsecond\n"
HLoad("f", "twice.pool")
HGet("f", "k")
HGet("f", "j")
HGet("f", 2)
// Only the line feed is removed: a carriage return stays with the text.
//! write crlf.pool "k\r\nv\r\n"
HLoad("f", "crlf.pool")
HGet("f", "k\r")
HGet("f", "k")
//! write cr-key.pool "\r\nv\n"
HLoad("f", "cr-key.pool")
HGet("f", "\r")
// An empty line where a value belongs is an empty value.
//! write empty-value.pool "k\n\nj\nv\n"
HLoad("f", "empty-value.pool")
HGet("f", 0)
HGet("f", 1)
// A file of zero bytes loads as an empty pool; a missing file leaves the entries alone.
//! write empty.pool ""
HLoad("f", "empty.pool")
HGet("f", 0)
HAdd("f", "n", 5)
HAdd("f", "k", "v")
HLoad("f", "missing.pool")
HGet("f", "n")
HLoad("f", "empty.pool")
HGet("f", 0)
HAdd("f", "n", 5)
HAdd("f", "k", "v")
HAdd("f", "empty", "")
HSave("f")
//! cat empty.pool
HLoad("g", "empty.pool")
HGet("g", "k")
HGet("g", "n")
