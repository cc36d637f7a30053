#include "TellTrail.h"

int main(int argc, char** argv) { return TellTrailMain(argc, argv); }
