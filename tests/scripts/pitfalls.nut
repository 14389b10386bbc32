// What scripts trip over: HGet of a missing key inserts it, a counter below zero stops counting,
// and a save leaves out empty values and values with a line feed.
HLoad("p", "p.pool")
HGet("p", "colour")
HHas("p", "colour")
HCount("p")
HDec("p", "lives")
HGet("p", "lives")
HDec("p", "lives")
HInc("p", "lives", 5)
HGet("p", "lives")
HAdd("p", "note", "two\nlines")
HAdd("p", "name", "Quill")
HCount("p")
HSave("p")
//! cat p.pool
