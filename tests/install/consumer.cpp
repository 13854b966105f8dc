#include <picmeta/clsmain.h>

#include <cstdio>

int main(int argc, char** argv) {
  picmeta::clsmain obj;
  obj.GV_FilePath("installed");
  // Removes the record of b.jpg from the folder given.
  if (argc > 1) obj.DeleteDatafromXML(argv[1], "b.jpg");
  std::puts(obj.GV_FilePath().c_str());
  return obj.GV_FilePath() == "installed" ? 0 : 1;
}
