// HError: why a pool's last HLoad or HSave gave false, as one line naming the operation, the path
// and the reason; null while no pool of that name is open, before either was made and once the
// last of them worked. These reasons carry no words of the system, so they read alike everywhere.
HError("p")
HLoad("p", "p.pool")
HAdd("p", "k", "v")
HSave("p")
HError("p")
// A folder is no pool file, to load or to save; the entries stay.
HLoad("p", ".")
HError("p")
HGet("p", "k")
HSave("p")
HError("p")
// A load that works clears the reason.
HLoad("p", "p.pool")
HError("p")
// A path that ends in a folder separator names a folder, whatever is there.
HLoad("p", "sub/")
HSave("p")
HError("p")
// The empty path binds the pool to no file.
HLoad("p", "")
HSave("p")
HError("p")
// A save that works clears it too.
HLoad("p", "p.pool")
HSave("p")
HError("p")
// A pool closed and opened again starts with no reason.
HLoad("p", ".")
HClose("p")
HError("p")
HError("q")
HLoad("p", "p.pool")
HError("p")
// The VM checks the name before HError runs.
HError()
HError(1)
HError("p", "k")
