#pragma once
// Everything of tasks, actors, continuations, sequences and races.
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/Async.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/AsyncStreamWriterSlot.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Concurrency/ConcurrencyErrors.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Deadline.h"
#include "Platform/Concurrency/Race.h"
#include "Platform/Concurrency/Sleep.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Concurrency/WhenAll.h"
