// Only a line feed ends a line: a final line without its feed keeps all its bytes, and one with
// its feed loses only the feed.
//! write no-feed.pool "k\nvalue"
HLoad("f", "no-feed.pool")
HGet("f", "k")
//! write fed.pool "k\nvalue\n"
HLoad("f", "fed.pool")
HGet("f", "k")
