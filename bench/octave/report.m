function report(t, result)
  printf("TIME %.9f\nRESULT %.17g\n", t, double(result));
end
