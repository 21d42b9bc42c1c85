#include "program.h"

int main(int argc, char **argv)
{
    return runUploader(argc, argv);
}
