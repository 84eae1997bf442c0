# Orca as a test runs it: speech through the silent server, its words in the debug log,
# written line by line; no braille, no sounds.
import orca.debug
import orca.settings

orca.settings.speechServerFactory = "nullspeech"
orca.settings.speechFactoryModules = ["nullspeech"]
orca.settings.enableSpeech = True
orca.settings.enableBraille = False
orca.settings.enableSound = False
orca.settings.enableTutorialMessages = False
if orca.debug.debugFile:
    orca.debug.debugFile = open(orca.debug.debugFile.name, "a", buffering=1)
orca.settings.enableKeyEcho = False
