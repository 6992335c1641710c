#pragma once

#include <QWidget>

// Runs one complete sync of the local clips with the database when it is
// constructed.
class PopulateDB : public QWidget
{
public:
    PopulateDB();
};
