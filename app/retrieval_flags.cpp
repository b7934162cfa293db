#include "app/retrieval_worker.h"

std::atomic<bool> RetrievalRequest{false};
std::atomic<bool> HasReport{false};
