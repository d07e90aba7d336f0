s = 0; tic;
for i = 0:999999
  s = bench_inc(s);
end
report(toc, s);
