// Quillstore demo: a pool bound to a file, filled, saved, closed and reopened.
// Run it with quillhost MODULE demo.nut; quillhost prints each call and what the script gets back.
// It leaves demo.pool in the folder quillhost runs in; each run starts by emptying that file.

//! write demo.pool ""
// An empty file holds no entries: HLoad answers true, the pool is open and bound to demo.pool.
HLoad("demo", "demo.pool")
HAdd("demo", "greeting", "hello, world")
HAdd("demo", "answer", 42)
HAdd("demo", "pi", 3.14159)
// Counters start at the amount and count up and down.
HInc("demo", "visits")
HInc("demo", "visits", 2)
HDec("demo", "visits")
// By key: digits come back as integers, everything else as strings.
HGet("demo", "greeting")
HGet("demo", "answer")
HGet("demo", "pi")
HGet("demo", "visits")
// By position, in the table's own order; past the end there is nothing.
HGet("demo", 0)
HGet("demo", 1)
HGet("demo", 2)
HGet("demo", 3)
HGet("demo", 4)
// The save writes the file.
HSave("demo")
//! cat demo.pool
// Closed without another save, the pool and its unsaved change are gone.
HAdd("demo", "answer", 43)
HClose("demo")
HGet("demo", "answer")
// Reopened, it reads back what was saved.
HLoad("demo", "demo.pool")
HGet("demo", "greeting")
HGet("demo", "answer")
HGet("demo", "visits")
