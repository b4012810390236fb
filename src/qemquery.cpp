// qemquery: the benchmark's workload, as SQL, as answers computed from the files, and run against a database.
#include "query/QueryCommand.h"

int main(int argc, char** argv) { return qemquery::queryMain(argc, argv); }
