#include "app/backend.h"

AppServices& Services()
{
    static AppServices services;
    return services;
}
