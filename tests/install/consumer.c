#include <picmeta/picmeta.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  char buf[32];
  picmeta_clsmain *obj = picmeta_clsmain_create();
  if (!obj) return 1;
  picmeta_clsmain_set_GV_FilePath(obj, "from C");
  if (argc > 1) picmeta_clsmain_DeleteDatafromXML(obj, argv[1], "a.jpg");
  picmeta_clsmain_get_GV_FilePath(obj, buf, sizeof buf);
  picmeta_clsmain_release(obj);
  puts(buf);
  return strcmp(buf, "from C") == 0 ? 0 : 1;
}
