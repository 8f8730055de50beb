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
