// quillhost --config with a settings file that has an error: the module prints its line at load,
// every HLoad and HSave gives false with HError naming it, and pools in memory work as usual.
HLoad("scores", "scores.pool")
print(HError("scores"))
HAdd("scores", "ann", 3)
print(HGet("scores", "ann"))
HSave("scores")
print(HError("scores"))
//! reload
HSave("scores")
