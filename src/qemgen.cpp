#include "run/Phases.h"

int main() { return qem::qemMain(); }
