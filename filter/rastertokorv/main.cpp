// Entry of the CUPS filter rastertokorv.
#include "rastertokorv.h"

int main(int argc, char **argv) { return rastertokorv_main(argc, argv); }
