// SPDX-License-Identifier: MIT
/* comm_encode.cpp: the helper library's small value makers (comm_funcs.h):
 * guarded counters, random numbers, time keys and text encoders. */
#include "comm_funcs.h"

#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "comm_funcs_internal.h"
#include "comm_log.h"

int s32Seed = 0;
U32 YSFPos = 3;
U32 YSFGas = 5;

namespace comm_internal {

long Wrap32(long s32Value)
{
    const U32 u32Bits = static_cast<U32>(static_cast<unsigned long>(s32Value));
    S32 s32Out = 0;
    memcpy(&s32Out, &u32Bits, sizeof(s32Out));
    return s32Out;
}

}  // namespace comm_internal

/* ====================================================================== */
/* Guarded counters, random numbers, time keys                             */
/* ====================================================================== */

namespace {

pthread_mutex_t gs_mut = PTHREAD_MUTEX_INITIALIZER;

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* pMutex) noexcept : m_pMutex(pMutex)
    {
        (void)pthread_mutex_lock(m_pMutex);
    }
    ~MutexGuard() { (void)pthread_mutex_unlock(m_pMutex); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m_pMutex;
};

U32 Low32(long s32Value)
{
    return static_cast<U32>(static_cast<unsigned long>(s32Value));
}

}  // namespace

long InterlockedAssign(long* lpDstValue, long* lpSrcValue)
{
    MutexGuard stGuard(&gs_mut);
    *lpDstValue = comm_internal::Wrap32(*lpSrcValue);
    return *lpDstValue;
}

long InterlockedIncrement(long* lpAddend)
{
    MutexGuard stGuard(&gs_mut);
    *lpAddend = comm_internal::Wrap32(static_cast<long>(Low32(*lpAddend) + 1u));
    return *lpAddend;
}

long InterlockedCmp(long* lpValue1, long* lpValue2)
{
    U32 u32Diff = 0;
    {
        MutexGuard stGuard(&gs_mut);
        u32Diff = Low32(*lpValue1) - Low32(*lpValue2);
    }
    if (u32Diff == 0) return 0;
    return (u32Diff & 0x80000000u) != 0 ? -1 : 1;
}

void InitRandom()
{
    s32Seed = static_cast<int>(time(nullptr));
    srand(static_cast<unsigned int>(s32Seed));
}

unsigned int GetRandom(int s32Val)
{
    if (s32Val <= 0) return 0;
    return static_cast<unsigned int>(rand() % s32Val);
}

namespace {

constexpr U64 COMM_KEY_MONTH = 2764800ULL; /* 32 days */
/* A year step of 13 such months: twelve months of 32 days plus day 31 stay
 * below it, so 31 December orders before 1 January of the next year (a
 * 370-day step would not: 12 * 32 + 31 days exceed it). */
constexpr U64 COMM_KEY_YEAR = 13ULL * COMM_KEY_MONTH;
constexpr U64 COMM_KEY_DAY = 86400ULL;

/* The hour and minute products are 32-bit values widened with their sign. */
U64 Product32(S32 s32Value, U32 u32Factor)
{
    const U32 u32Bits = static_cast<U32>(s32Value) * u32Factor;
    S32 s32Product = 0;
    memcpy(&s32Product, &u32Bits, sizeof(s32Product));
    return static_cast<U64>(static_cast<int64_t>(s32Product));
}

U64 TimeKey(S32 s32Year, S32 s32Month, S32 s32Day, S32 s32Hour, S32 s32Min, S32 s32Sec)
{
    const U64 u64Year = static_cast<U64>(static_cast<int64_t>(s32Year));
    const U64 u64Month = static_cast<U64>(static_cast<int64_t>(s32Month));
    const U64 u64Day = static_cast<U64>(static_cast<int64_t>(s32Day));
    return u64Year * COMM_KEY_YEAR + u64Month * COMM_KEY_MONTH + u64Day * COMM_KEY_DAY +
           Product32(s32Hour, 3600u) + Product32(s32Min, 60u) +
           static_cast<U64>(static_cast<int64_t>(s32Sec));
}

U64 KeyOf(const DateTime& stTime)
{
    return TimeKey(stTime.Year, stTime.Month, stTime.Day, stTime.Hour, stTime.Minute,
                   stTime.Second);
}

U64 KeyOf(const REC_TIME_S& stTime)
{
    return TimeKey(stTime.s32Year, stTime.s32Month, stTime.s32Day, stTime.s32Hour, stTime.s32Min,
                   stTime.s32Sec);
}

template <typename TIME>
int CompareKeys(const TIME* pTime1, const TIME* pTime2)
{
    const U64 u64Key1 = KeyOf(*pTime1);
    const U64 u64Key2 = KeyOf(*pTime2);
    if (u64Key1 > u64Key2) return 1;
    if (u64Key1 < u64Key2) return -1;
    return 0;
}

}  // namespace

int CompareDateTime(const DateTime* pTime1, const DateTime* pTime2)
{
    COMM_ASSERT(pTime1 != nullptr && pTime2 != nullptr);
    return CompareKeys(pTime1, pTime2);
}

int CompareRecordTime(const REC_TIME_S* pTime1, const REC_TIME_S* pTime2)
{
    COMM_ASSERT(pTime1 != nullptr && pTime2 != nullptr);
    return CompareKeys(pTime1, pTime2);
}

/* ====================================================================== */
/* Encoders                                                                */
/* ====================================================================== */

int hex_encode(void* decode, char* encode, unsigned int encode_size)
{
    static const char s8Digits[] = "0123456789abcdef";
    const unsigned char* pu8In = static_cast<const unsigned char*>(decode);
    encode[0] = '\0';
    for (unsigned int i = 0; i < encode_size; ++i) {
        encode[2 * static_cast<size_t>(i)] = s8Digits[pu8In[i] >> 4];
        encode[2 * static_cast<size_t>(i) + 1] = s8Digits[pu8In[i] & 0x0F];
    }
    encode[2 * static_cast<size_t>(encode_size)] = '\0';
    return 0;
}

int hex_decode(const char* encoded, void* decoded, int decoded_size)
{
    if (encoded == nullptr || decoded == nullptr || decoded_size < 0) return -1;
    const size_t u32Want = 2 * static_cast<size_t>(decoded_size);
    /* strnlen stops one past the wanted length, so a long text is never
     * walked to its end. */
    if (strnlen(encoded, u32Want + 1) != u32Want) return -1;
    unsigned char* pu8Out = static_cast<unsigned char*>(decoded);
    for (int i = 0; i < decoded_size; ++i) {
        const char s8Pair[3] = {encoded[2 * i], encoded[2 * i + 1], '\0'};
        unsigned int u32Val = 0;
        if (sscanf(s8Pair, "%x", &u32Val) != 1) return -2;
        pu8Out[i] = static_cast<unsigned char>(u32Val & 0xFFu);
    }
    return 0;
}

int base64(const void* in, unsigned int inlen, char* out)
{
    static const char _base64[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in == nullptr || out == nullptr) return -1;
    const U64 u64OutLen = 4ULL * ((static_cast<U64>(inlen) + 2) / 3);
    if (u64OutLen > static_cast<U64>(INT_MAX)) return -1;
    const unsigned char* pu8In = static_cast<const unsigned char*>(in);
    size_t u32Out = 0;
    for (unsigned int i = 0; i < inlen; i += 3) {
        const unsigned int u32Left = inlen - i;
        const U32 u32Group = (static_cast<U32>(pu8In[i]) << 16) |
                             (u32Left > 1 ? static_cast<U32>(pu8In[i + 1]) << 8 : 0u) |
                             (u32Left > 2 ? static_cast<U32>(pu8In[i + 2]) : 0u);
        out[u32Out++] = _base64[(u32Group >> 18) & 0x3F];
        out[u32Out++] = _base64[(u32Group >> 12) & 0x3F];
        out[u32Out++] = (u32Left > 1) ? _base64[(u32Group >> 6) & 0x3F] : '=';
        out[u32Out++] = (u32Left > 2) ? _base64[u32Group & 0x3F] : '=';
    }
    out[u32Out] = '\0';
    return static_cast<int>(u32Out);
}

namespace {

const unsigned char mark[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

/* One bit (encoder) or one bit position (decoder) of the circle. */
struct node {
    U32 d;
    node* next;
};

/* Longest buffer the transform takes: its bit count must fit 32 bits. */
constexpr unsigned int COMM_YSF_MAX_LEN = 0x1FFFFFFFu;

/* The nodes of one circle live in one block, linked in stream order, the
 * last back to the first. */
node* MakeCircle(U32 u32Bits)
{
    node* pstNodes = static_cast<node*>(calloc(u32Bits, sizeof(node)));
    if (pstNodes == nullptr) return nullptr;
    for (U32 t = 0; t < u32Bits; ++t) {
        pstNodes[t].next = &pstNodes[(t + 1 == u32Bits) ? 0 : t + 1];
    }
    return pstNodes;
}

/* The counting-out walk shared by both directions: from the last node, pos
 * steps; then for each output bit, gap steps (mod the nodes left) and take the
 * node after the cursor. pfnTake(t, taken node) consumes it. */
template <typename TakeFn>
void WalkCircle(node* pstNodes, U32 u32Bits, unsigned int pos, unsigned int gap, TakeFn pfnTake)
{
    node* pstCur = &pstNodes[u32Bits - 1];
    for (U32 s = pos % u32Bits; s > 0; --s) pstCur = pstCur->next;
    for (U32 t = 0; t < u32Bits; ++t) {
        const U32 u32Left = u32Bits - t;
        for (U32 s = gap % u32Left; s > 0; --s) pstCur = pstCur->next;
        node* pstTaken = pstCur->next;
        pstCur->next = pstTaken->next;
        pfnTake(t, pstTaken);
    }
}

}  // namespace

int YSFEncode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap)
{
    if (data == nullptr || readlen == 0 || readlen > COMM_YSF_MAX_LEN) return -1;
    const U32 u32Bits = 8u * readlen;
    node* pstNodes = MakeCircle(u32Bits);
    if (pstNodes == nullptr) return -1;
    for (U32 t = 0; t < u32Bits; ++t) {
        pstNodes[t].d = (data[t / 8] & mark[t % 8]) != 0 ? 1u : 0u;
    }
    memset(data, 0, readlen);
    WalkCircle(pstNodes, u32Bits, pos, gap, [data](U32 t, const node* pstTaken) {
        if (pstTaken->d != 0) data[t / 8] |= mark[t % 8];
    });
    free(pstNodes);
    return 0;
}

int YSFDecode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap)
{
    if (data == nullptr || readlen == 0 || readlen > COMM_YSF_MAX_LEN) return -1;
    const U32 u32Bits = 8u * readlen;
    unsigned char* pu8Flags = static_cast<unsigned char*>(malloc(u32Bits));
    if (pu8Flags == nullptr) return -1;
    for (U32 t = 0; t < u32Bits; ++t) {
        pu8Flags[t] = (data[t / 8] & mark[t % 8]) != 0 ? 1 : 0;
        if (t % 8 == 7) data[t / 8] = 0;
    }
    node* pstNodes = MakeCircle(u32Bits);
    if (pstNodes == nullptr) {
        free(pu8Flags);
        return -1;
    }
    for (U32 t = 0; t < u32Bits; ++t) pstNodes[t].d = t;
    WalkCircle(pstNodes, u32Bits, pos, gap, [data, pu8Flags](U32 t, const node* pstTaken) {
        const U32 p = pstTaken->d;
        if (pu8Flags[t] != 0) data[p / 8] |= mark[p % 8];
    });
    free(pstNodes);
    free(pu8Flags);
    return 0;
}
