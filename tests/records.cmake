# Tests of the working folder's records: nubo_add_test(...) lines.
nubo_add_test(tst_records SOURCES tst_records.cpp)
