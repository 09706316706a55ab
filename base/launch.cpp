/* Reads and writes of the launch block's fields. Main thread of the program or the launcher. */
#include "base/launch.h"
#include <string.h>

static void GetWords(const uint8_t *at, uint32_t words[ROW_COUNT])
{
    for (size_t row = 0; row < ROW_COUNT; row++)
        words[row] = GetLe32(at + 4 * row);
}

static void PutWords(uint8_t *at, const uint32_t words[ROW_COUNT])
{
    for (size_t row = 0; row < ROW_COUNT; row++)
        PutLe32(at + 4 * row, words[row]);
}

void LaunchGetSelect(const uint8_t *lb, uint32_t select[ROW_COUNT]) { GetWords(lb + LB_DRIVE_SELECT, select); }
void LaunchPutSelect(uint8_t *lb, const uint32_t select[ROW_COUNT]) { PutWords(lb + LB_DRIVE_SELECT, select); }
void LaunchGetErrors(const uint8_t *lb, uint32_t errors[ROW_COUNT]) { GetWords(lb + LB_DRIVE_ERROR, errors); }

void LaunchPutError(uint8_t *lb, uint8_t routine, uint8_t step, const uint8_t *detail, uint16_t count)
{
    lb[LB_ERROR_ROUTINE] = routine;
    lb[LB_ERROR_STEP] = step;
    memcpy(lb + LB_ERROR_DETAIL, detail, count < LB_DETAIL_LEN ? count : size_t(LB_DETAIL_LEN));
}

void LaunchPutOutcome(uint8_t *lb, int anyError, const uint32_t errors[ROW_COUNT])
{
    lb[LB_END_STATUS] = 0;
    if (anyError)
        lb[LB_ERROR_FLAG] = LB_ERROR_SET;
    PutWords(lb + LB_DRIVE_ERROR, errors);
}

void LaunchPutStartFailure(uint8_t *lb)
{
    lb[LB_ERROR_STEP] = LB_STEP_START_FAILED;
    lb[LB_END_STATUS] = 0;
    lb[LB_ERROR_FLAG] = LB_ERROR_SET;
}
