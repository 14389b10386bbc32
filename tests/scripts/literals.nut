// Literals at the edges of what the reader takes, after a byte order mark that is skipped.
HLoad("p", "")
HAdd("p", "k", [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]])
HAdd("p", "k", {["key"] = 1, x = 2,})
HAdd("p", "k", "v"); // a comment after the call
  HAdd ( "p" , "k2" , - 5 ) ;
HGet("p", "k2")
HAdd("p", "k", 08)
HGet("p", "k")
HAdd("p", "k", "ab")
HGet("p", "k")
// A global that does not exist is the VM's error when the arguments are evaluated: the
// script goes on and the exit status is 1.
HAdd("p", "k", nosuch)
HGet("p", "k")
