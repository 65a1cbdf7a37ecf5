// Entry of the CUPS filter korvbmpthreshold.
#include "korvbmpthreshold.h"

int main(int argc, char **argv) { return filter_main(argc, argv); }
