#include "Manager.h"

std::atomic<bool> Manager::abort{false};

Manager::~Manager() = default;
