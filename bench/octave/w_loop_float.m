s = single(0); tic;
for i = 0:9999999
  s = s + i;
end
report(toc, s);
