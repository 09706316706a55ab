/* Resource numbers, grouped by kind, as the templates use them. */
#pragma once

/* Dialogs */
#define IDD_REPORT_WAIT         112
#define IDD_PASSWORD            117
#define IDD_COM_WAIT            123
#define IDD_HIDDEN_WAIT         125
#define IDD_MAIN                138

/* Selection dialogs and the error list (HV / LT variants) */
#define IDD_DKU_FIRST           122     /* DKU, for the first DKU button */
#define IDD_CLUSTER             124
#define IDD_SELECT_UNIT         127
#define IDD_HDD_LIST_LT         128
#define IDD_ERROR_LIST          130
#define IDD_DKU                 131     /* DKU, for the other DKU buttons */
#define IDD_HDU                 132
#define IDD_HDD_LIST            133
#define IDD_ROUTINE             134
#define IDD_HDU_UPPER           135     /* boxes 4 to 7 of the first DKU */
#define IDD_DKU_LT              142
#define IDD_HDU_LT              143
#define IDD_SELECT_UNIT_LT      144

/* Communication test window (routine D1) */
#define IDD_COMM_TEST           136

/* Waiting windows' controls */
#define IDC_COM_STATUS          1064
#define IDC_COM_DRIVE           1065
#define IDC_COM_STOP            1092

/* Password dialog controls */
#define IDC_PASSWORD            1091

/* Selection dialogs' controls */
#define IDC_ALL_HDD             1000
#define IDC_DKU_FIRST           1001    /* DKU buttons 1001..1005 (LT: ..1004) */
#define IDC_HDU_FIRST           1005    /* HDU box buttons 1005..1012 (LT: ..1008) */
#define IDC_HDD_FIRST           1013    /* HDD position check boxes 1013..1044 (LT: ..1028) */
#define IDC_LIST_LEFT           1056
#define IDC_LIST_RIGHT          1057
#define IDC_ROUTINE_COMBO       1058
#define IDC_RUN_OPTION_COMBO    1059
#define IDC_CLUSTER1            1094
#define IDC_CLUSTER2            1095
#define IDC_HDD_LABEL           1102
#define IDC_ERROR_LIST          1113

/* Communication test window's controls: 13 command check boxes in sending order of the
 * table in routines/CommTest.cpp, the cluster and the two buttons. */
#define IDC_TEST_FIRST          1150    /* check boxes 1150..1162 */
#define IDC_TEST_LAST           1162
#define IDC_TEST_CLUSTER1       1163
#define IDC_TEST_CLUSTER2       1164
#define IDC_TEST_OK             1165
#define IDC_TEST_CANCEL         1166

/* Main window controls */
#define IDC_START               1134
#define IDC_EXIT                1135
#define IDC_ROUTINE_ID          1136
#define IDC_TESTING_HDD         1137
#define IDC_STATUS              1138
#define IDC_ERROR_CODE          1139
#define IDC_ERROR_CONTENTS      1140

/* Menus and accelerators */
#define IDR_MENU_DEBUG          119
#define IDR_MENU_MAIN           128
#define IDR_ACCEL               118

/* Menu and accelerator commands */
#define IDM_EXIT                40013
#define IDM_START               40014
#define IDM_DKU_QX7             40015
#define IDM_ASK_PASSWORD        40019
#define IDM_NORMAL_MODE         40020
#define IDM_DKU_QX5             40023
#define IDM_DKF_4MP             40024
#define IDM_DKF_2MP             40025
#define IDM_CON_1MP             40026
#define IDM_CON_2MP             40027
#define IDM_DKC_HV              40028
#define IDM_DKC_LT              40029
#define IDM_RENEW               40030
#define IDM_CLOSE               40001

/* Strings: routine names carry the routine id as their id. */
#define IDS_PATH_TEST_A0        160
#define IDS_PATH_TEST_A1        161
#define IDS_PATH_TEST_A2        162
#define IDS_RUN_OPTION_FIRST    180
#define IDS_RUN_OPTION_LAST     187
#define IDS_RUN_OPTION_RESET    187
#define IDS_ROUTINE_C0          0xC0
#define IDS_ROUTINE_C1          0xC1
#define IDS_ROUTINE_C2          0xC2
#define IDS_ROUTINE_C3          0xC3
#define IDS_ROUTINE_C4          0xC4
#define IDS_ROUTINE_C5          0xC5
#define IDS_ROUTINE_CF          0xCF
#define IDS_ROUTINE_D0          0xD0
#define IDS_ROUTINE_D1          0xD1
#define IDS_ROUTINE_D2          0xD2
#define IDS_ROUTINE_D8          0xD8
