// A pool's life: opened on a file that does not exist yet, saved, reloaded, closed, reopened.
HLoad("fruit", "fruit.pool")
HGet("fruit", "apple")
HAdd("fruit", "apple", "red")
HAdd("fruit", "count", 3)
HGet("fruit", "apple")
HGet("fruit", "count")
// The first save creates the file; entries come in table order, count's bucket first.
HSave("fruit")
//! cat fruit.pool
// A load that finds the file replaces the entries: the unsaved pear is gone.
HAdd("fruit", "pear", "green")
HLoad("fruit", "fruit.pool")
HGet("fruit", "pear")
HGet("fruit", "apple")
// Closing drops the pool unsaved; its name no longer answers, with null rather than false.
HAdd("fruit", "apple", "blue")
HClose("fruit")
HGet("fruit", "apple")
HClose("fruit")
HSave("fruit")
HAdd("fruit", "apple", "x")
HInc("fruit", "count")
HDel("fruit", "count")
// Opening it again reads what the last save wrote into a fresh pool.
HLoad("fruit", "fruit.pool")
HGet("fruit", "apple")
HGet("fruit", "count")
// Deleting twice is fine; a read of the deleted key brings it back empty, and empty values are
// not written.
HDel("fruit", "apple")
HDel("fruit", "apple")
HGet("fruit", "apple")
HSave("fruit")
//! cat fruit.pool
// An empty path: the load fails, the pool is open but cannot be saved.
HLoad("blank", "")
HAdd("blank", "k", "v")
HSave("blank")
HGet("blank", "k")
// A file in a directory that does not exist: opened empty, and the save fails.
HLoad("lost", "no/such/dir/lost.pool")
HAdd("lost", "k", "v")
HSave("lost")
//! cat no/such/dir/lost.pool
// Rebinding an open pool to another file keeps its entries when that file is missing.
HLoad("blank", "blank.pool")
HGet("blank", "k")
HSave("blank")
//! cat blank.pool
