# Tests of the protocol part: nubo_add_test(...) lines.
