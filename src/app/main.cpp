#include "app/lumivistaapp.h"

int main(int argc, char** argv)
{
    return CLumivistaApp::Run(argc, argv);
}
