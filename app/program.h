// One run of the uploader: port selection, file choice, update, and the event
// loop until Exit.
#pragma once

int runUploader(int argc, char **argv);
