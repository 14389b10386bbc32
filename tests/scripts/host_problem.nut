// A step the host finds wrong prints a "host: " line; the script goes on, and the exit status is 3.
HLoad("p", "")
//! load
HLoad("p", "")
