' A late-bound host: creates the object by its ProgID and calls every member
' by name through IDispatch. Usage: cscript late_binding.vbs ROOT SEPARATOR RESULT
' (ASCII only: Wine's cscript reads scripts in the ANSI code page and has no
' ChrW; Chinese names are the early-bound client's.)
' (Wine's cscript ends with status 0 even on a script error, so every step
' writes its outcome to RESULT, which the caller checks.)
Option Explicit
Dim fso, out, o, root, sep, app, pictures, folder
root = WScript.Arguments(0)
sep = WScript.Arguments(1)
Set fso = CreateObject("Scripting.FileSystemObject")
Set out = fso.CreateTextFile(WScript.Arguments(2), True)
Set o = CreateObject("Picmeta.clsmain")
out.WriteLine "create ok"
If o.GV_FilePath = "" Then out.WriteLine "GV_FilePath empty yes"
o.GV_FilePath = "D:\cases\1"
If o.GV_FilePath = "D:\cases\1" Then out.WriteLine "GV_FilePath kept yes"
app = root & sep & "app"
pictures = root & sep & "pictures"
folder = app & sep & "top" & sep & "case"
o.WriteDatatoXML app, "3100000ABCDEF001", "31000", "0815", "op", "2011-08-11 14:30:05"
out.WriteLine "WriteDatatoXML ok"
o.NewWriteDatatoXML app, folder & sep & "IMG_0003.JPG", "3100000ABCDEF001", "31000", "0815", "op", "2011-08-11 14:30:05"
o.NewWriteDatatoXML app, folder & sep & "IMG_0002.JPG", "3100000ABCDEF001", "31000", "0815", "op", "2011-08-11 14:30:05"
out.WriteLine "NewWriteDatatoXML ok"
o.DeleteDatafromXML folder, "IMG_0001.JPG"
out.WriteLine "DeleteDatafromXML ok"
o.ReadEXIF pictures, app, "2", "", "3100000ABCDEF001", "31000", "0815", "op", "2011-08-11 14:30:05", "CLAIMS", "survey", "10.0.0.8"
out.WriteLine "ReadEXIF ok"
o.CopyExifInfo app, pictures, "0815"
out.WriteLine "CopyExifInfo ok"
o.DeleteDatafromXML root & sep & "no-such-folder", "x.jpg"
out.WriteLine "missing ok"
Set o = Nothing
out.WriteLine "done"
out.Close
