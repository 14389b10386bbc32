// print(CALL) prints what a script's print would; a call may run over several lines.
HLoad("s", "s.pool")
HAdd("s", "text", "two words")
HAdd("s", "half", 0.5)
print(HGet("s", "text"));
print(HGet("s", "half"))          // stored as text; a float literal prints with %g
print(HGet("s", "missing"))
print(HHas("s", "text"))
print("a literal\tas it is")
print(12)
print(1e20)
print([1, 2])
// Split calls: brackets, a comment at a line's end, a string with a bracket in it.
HAdd("s",            // the pool
     "key",
     "value (with a bracket")
HAdd("s", "list", [1,
    2, 3])
print(HGet("s",
  "key"))
print(HCount(
  "s"
))
// A call that fails inside print is reported as the call alone would be.
print(HGet())
print(NoSuchFunction("s"))
HSave("s")
//! cat s.pool
