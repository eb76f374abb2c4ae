# Pictures of the tabs at chosen sizes and languages, for looking at.
# ui_pictures draws one tab of the real Ui on a router with test outputs, one channel playing
# its test tone, into a BMP; see UiPictures.cpp for its arguments and the checks it makes on
# the file it wrote. The logo comes from the test resource script, as resource 2.
add_executable(ui_pictures UiPictures.cpp resources/app_tests.rc)
target_link_libraries(ui_pictures PRIVATE qova_app qova_warnings ole32)
target_link_options(ui_pictures PRIVATE -municode)
target_include_directories(ui_pictures PRIVATE ${app_resources})

# German at the narrow size, where the longest words meet the least room. Passes only when
# the file has the asked size, is more than a cleared picture, and shows the toned meter lit.
add_test(NAME UiPictures.SoundCardsGermanNarrowWithATone
  COMMAND ui_pictures ui-pictures-sound-cards-de-480.bmp 480 720 de 0
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
