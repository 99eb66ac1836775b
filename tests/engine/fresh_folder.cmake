# An empty folder at FOLDER for the engine test to write its files into:
# what an earlier run left there is removed first.
#   cmake -DFOLDER=<folder> -P fresh_folder.cmake
file(REMOVE_RECURSE "${FOLDER}")
file(MAKE_DIRECTORY "${FOLDER}")
