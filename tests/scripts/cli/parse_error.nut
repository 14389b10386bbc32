// A line that does not parse: quillhost reports it by file, line and column, and runs nothing.
HLoad("t", "t.pool")
HAdd("t", "k, "v")
HSave("t")
