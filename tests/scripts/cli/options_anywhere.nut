// Read from standard input through "-", with --manual after the operands: no event is delivered
// that the script does not ask for.
HLoad("p", "p.pool")
//! initialize
//! ready
HLoad("p", "p.pool")
