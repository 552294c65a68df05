#include "mirvo.h"

int main(int argc, char** argv) { return MirvoMain(argc, argv); }
