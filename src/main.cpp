#include "run/Phases.h"

int main() { return qemMain(); }
