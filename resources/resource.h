// Resource ids shared by the resource script and the program.
#pragma once

#define IDI_APP 100
#define IDR_MAINMENU 102

#define IDM_OPEN 4001
#define IDM_CARD_CHECK 4002
#define IDM_EXIT 4003
#define IDM_HELP 4011
#define IDM_COPYRIGHT 4013
#define IDM_LICENSES 4014

// "UPDATE_CHECK_DLG": the question's text.
#define IDC_CHECK_TEXT 5003
// "HELP_LINK_DLG": the two texts share one id; nothing looks them up.
#define IDC_HELP_TEXT 4015
#define IDC_HELP_LINK 4016
// "COPY_DLG": progress bar, percentage line, and the poll timer's id.
#define IDC_COPY_PROGRESS 5001
#define IDT_COPY_POLL 5002
#define IDC_COPY_PERCENT 5003
