#include "mirvo.h"

int main(int argc, char** argv) { return mirvo::MirvoMain(argc, argv); }
