#pragma once

// Maps the Windows font families the forms ask for ("Microsoft YaHei", "宋体") to the CJK fonts this
// system has, so that Chinese text renders. GUI thread, after the application object exists.
void installFontSubstitutions();
