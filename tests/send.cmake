# Tests of the send part: nubo_add_test(...) lines.
