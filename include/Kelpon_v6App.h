#pragma once
#include <wx/app.h>

class Kelpon_v6App : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;
    ~Kelpon_v6App() override;
};
