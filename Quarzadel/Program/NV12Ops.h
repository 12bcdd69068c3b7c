#pragma once
// Operations on bi-planar 4:2:0 pictures, done directly on the luma and chroma
// planes so that BT.709 pictures stay BT.709 without a detour through RGB. Each
// operation has its own header; this one brings them all.
#include "Quarzadel/Program/NV12Blend.h"
#include "Quarzadel/Program/NV12Blur.h"
#include "Quarzadel/Program/NV12Color.h"
#include "Quarzadel/Program/NV12Scaler.h"
#include "Quarzadel/Program/NV12ToneTable.h"
