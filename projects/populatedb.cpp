#include "projects/populatedb.h"

PopulateDB::PopulateDB()
    : QWidget(nullptr)
{
}
