// A reload names each pool with changes that no HSave wrote before it drops them; a call script
// goes on with the reload. What counts as a change is what a save would write.
HLoad("saved", "saved.pool")
HAdd("saved", "k", "v")
HSave("saved")
// A pool that a failed load opened holds nothing to lose; a missing key that HGet enters has an
// empty value, which no save writes.
HLoad("fresh", "fresh.pool")
HGet("fresh", "nothing")
HCount("fresh")
// Each of the four functions that change entries makes a change, and a save that fails keeps it.
HLoad("added", "")
HAdd("added", "k", "v")
HSave("added")
HLoad("counted", "")
HInc("counted", "n")
HLoad("lowered", "")
HDec("lowered", "n", 2)
HLoad("deleted", "saved.pool")
HDel("deleted", "k")
// A load that gives true puts the file's contents in place of the changes.
HLoad("reread", "saved.pool")
HAdd("reread", "k", "changed")
HLoad("reread", "saved.pool")
// A load that gives false leaves the entries, and the changes, as they were.
HLoad("kept", "")
HAdd("kept", "k", "v")
HLoad("kept", "missing.pool")
// A closed pool is gone already; a call that fails changes nothing.
HLoad("closed", "")
HAdd("closed", "k", "v")
HClose("closed")
HAdd("closed", "k", "v")
HLoad("tab\there", "")
HAdd("tab\there", "k", "v")
//! reload
// The reload dropped them all, and this pool's change is saved: the next one names none.
HLoad("late", "late.pool")
HAdd("late", "k", "v")
HSave("late")
//! reload
// Shutdown drops every pool as well, so a reload after it has nothing to name.
HLoad("late", "")
HAdd("late", "k", "v")
//! shutdown
//! reload
