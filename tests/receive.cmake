# Tests of the receive part: nubo_add_test(...) lines.
